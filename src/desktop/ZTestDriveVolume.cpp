#include "desktop/ZTestDriveVolume.h"

#include "frame/ZLog.h"
#include "platform/ZDriveTable.h"
#include "volume/ZDriveVolume.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

namespace SearchEngine {

namespace {

const char kTestFilePath[] = "E:\\abc.txt";
constexpr unsigned short kVolumeDrive = 'C';
constexpr int kButtonStep = 40;
constexpr int kWindowWidth = 400;
constexpr int kWindowHeight = 300;
// How long the runner lets the stopped volume thread end before it gives up
// on destroying it.
constexpr unsigned long kVolumeStopWaitMs = 10000;

} // namespace

QString driveDirectory(QChar letter)
{
    const QString table = Platform::ZDriveTable::folder();
    // Without the folder the one drive is C:, the tree of "/".
    if (!QFileInfo(table).isDir())
        return letter.toUpper() == QLatin1Char('C') ? QStringLiteral("/") : QString();
    // "x:" names a directory; "x::" an image or device, which has no files
    // to open here.
    const QFileInfo entry(table + QLatin1Char('/') + letter.toLower() + QLatin1Char(':'));
    if (!entry.exists() || !entry.isDir())
        return QString();
    return entry.canonicalFilePath();
}

QString pathOnDrive(const QString& windowsPath)
{
    if (windowsPath.size() < 3 || windowsPath[1] != QLatin1Char(':') || windowsPath[2] != QLatin1Char('\\'))
        return QString();
    const QString root = driveDirectory(windowsPath[0]);
    if (root.isEmpty())
        return QString();
    QString rest = windowsPath.mid(3);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // No climbing out of the drive's folder.
    if (rest.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QString();
    return root.endsWith(QLatin1Char('/')) ? root + rest : root + QLatin1Char('/') + rest;
}

ZTestFileWindow::ZTestFileWindow(const QString& windowsPath)
    : QWidget(nullptr)
    , file_(new QFile(pathOnDrive(windowsPath)))
    , open_(new QPushButton(QStringLiteral("打开文件"), this))
    , write_(new QPushButton(QStringLiteral("写入文件"), this))
    , close_(new QPushButton(QStringLiteral("关闭文件"), this))
{
    open_->move(0, 0);
    write_->move(0, kButtonStep);
    close_->move(0, 2 * kButtonStep);
    // A file name that is empty (no such drive here) makes every call fail
    // quietly, which leaves the disk untouched.
    connect(open_, &QPushButton::clicked, this, [this]() {
        if (!file_->fileName().isEmpty())
            file_->open(QIODevice::WriteOnly);
    });
    connect(write_, &QPushButton::clicked, this, [this]() {
        if (file_->isOpen())
            file_->write("aaa");
    });
    connect(close_, &QPushButton::clicked, this, [this]() { file_->close(); });
}

int runDriveVolumeWindow(int argc, char** argv)
{
    QApplication app(argc, argv);
    auto* window = new ZTestFileWindow(QString::fromLatin1(kTestFilePath));
    window->resize(kWindowWidth, kWindowHeight);
    window->show();

    // Nothing is connected: the thread runs on its own, to its log lines and
    // reports.
    auto* volume = new ZDriveVolume(kVolumeDrive);
    volume->start();

    const int result = QApplication::exec();

    volume->stop();
    if (volume->wait(kVolumeStopWaitMs))
        delete volume;
    else
        LOG(WARNING) << "volume thread did not end; left to the process exit";
    delete window;
    return result;
}

} // namespace SearchEngine
