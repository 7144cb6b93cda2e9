// The manual test window of "TestDriveVolume": its three buttons on the file
// "E:\abc.txt" as the drive table maps E:.
#include "desktop/ZTestDriveVolume.h"
#include "frame/ProcessHelpers.h"
#include "platform/ZDriveTable.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>

using namespace SearchEngine;
using Platform::ZDriveTable;

namespace {

QApplication& widgetsApp()
{
    static int argc = 1;
    static char name[] = "service_runners_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

class TestWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        widgetsApp();
        QDir(ZDriveTable::folder()).removeRecursively();
        QDir().mkpath(ZDriveTable::folder());
    }
    void TearDown() override { QDir(ZDriveTable::folder()).removeRecursively(); }

    // Maps drive E: to a fresh folder and returns it.
    QString mapDriveE()
    {
        const QString folder = TestSupport::freshDir(QStringLiteral("drive-e"));
        EXPECT_TRUE(QFile::link(folder, ZDriveTable::folder() + QStringLiteral("/e:")));
        return folder;
    }
};

} // namespace

TEST_F(TestWindow, ButtonsOpenWriteAndCloseTheFileOnDriveE)
{
    const QString folder = mapDriveE();
    const QString file = folder + QStringLiteral("/abc.txt");
    ZTestFileWindow window(QStringLiteral("E:\\abc.txt"));
    // Writing before opening writes nothing.
    window.writeButton()->click();
    EXPECT_FALSE(QFile::exists(file));

    window.openButton()->click();
    window.writeButton()->click();
    window.writeButton()->click();
    window.closeButton()->click();
    EXPECT_EQ(FrameTest::readFile(file), QByteArray("aaaaaa"));

    // Opening again truncates: the mode is write-only.
    window.openButton()->click();
    window.writeButton()->click();
    window.closeButton()->click();
    EXPECT_EQ(FrameTest::readFile(file), QByteArray("aaa"));
}

TEST_F(TestWindow, DrivePathsResolveThroughTheTable)
{
    const QString folder = mapDriveE();
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    EXPECT_EQ(driveDirectory(QLatin1Char('E')), canonical);
    EXPECT_EQ(driveDirectory(QLatin1Char('e')), canonical);
    EXPECT_EQ(pathOnDrive(QStringLiteral("E:\\sub\\x.txt")), canonical + QStringLiteral("/sub/x.txt"));
    for (const char* outside : {"F:\\x.txt", "E:\\..\\x.txt", "E:"})
        EXPECT_TRUE(pathOnDrive(QLatin1String(outside)).isEmpty()) << outside;
    // An image or device entry ("x::") has no folder to open files in.
    const QString image = folder + QStringLiteral("/disk.img");
    ASSERT_TRUE(FrameTest::writeFile(image, QByteArray()));
    ASSERT_TRUE(QFile::link(image, ZDriveTable::folder() + QStringLiteral("/g::")));
    EXPECT_TRUE(driveDirectory(QLatin1Char('G')).isEmpty());
}

// Without the table folder only C: is mapped (to the root tree), so the
// window's buttons have no file and leave the disk alone.
TEST_F(TestWindow, WithoutTheTableFolderOnlyCIsTheRootTreeAndButtonsDoNothing)
{
    QDir(ZDriveTable::folder()).removeRecursively();
    EXPECT_EQ(driveDirectory(QLatin1Char('C')), QStringLiteral("/"));
    EXPECT_EQ(pathOnDrive(QStringLiteral("C:\\tmp\\x")), QStringLiteral("/tmp/x"));
    EXPECT_TRUE(driveDirectory(QLatin1Char('E')).isEmpty());

    const QString cwdBefore = QDir::currentPath();
    const QString scratch = TestSupport::freshDir(QStringLiteral("cwd"));
    QDir::setCurrent(scratch);
    {
        ZTestFileWindow window(QStringLiteral("E:\\abc.txt"));
        EXPECT_TRUE(window.file()->fileName().isEmpty());
        window.openButton()->click();
        window.writeButton()->click();
        window.closeButton()->click();
    }
    QDir::setCurrent(cwdBefore);
    EXPECT_TRUE(QDir(scratch).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}
