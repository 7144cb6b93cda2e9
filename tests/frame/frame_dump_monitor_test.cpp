#include "diagnostics/ZDumpMonitor.h"
#include "frame/ProcessHelpers.h"
#include "platform/windows.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace FrameTest;

namespace {

const char kCategoryGroup[] = "software/classes/clsid/{9b7a98ec-7ef9-468c-acc8-37c793dbd7e0}/"
                              "implemented categories/{a5f7140e-4311-4ef9-aabc-f55941b5ebe5}";

void setIdentifierText(const QString& value)
{
    const QString hive = Platform::registryHivePath(HKEY_LOCAL_MACHINE);
    QDir().mkpath(QFileInfo(hive).absolutePath());
    QSettings ini(hive, QSettings::IniFormat);
    ini.setValue(QLatin1String(kCategoryGroup) + QStringLiteral("/idex"), value);
    ini.sync();
}

LPCWSTR libraryName(const char* path)
{
    static QString held;
    held = QString::fromUtf8(path);
    return reinterpret_cast<LPCWSTR>(held.utf16());
}

// "hex:41,00,..." for the UTF-16 units of text, with no terminating zero.
QString hexOfUnits(const QString& text)
{
    QStringList bytes;
    for (QChar c : text)
        bytes << QString::number(c.unicode() & 0xFF, 16) << QString::number(c.unicode() >> 8, 16);
    return QStringLiteral("hex:") + bytes.join(QLatin1Char(','));
}

QByteArray waitForRecord(const QString& path)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        const QByteArray r = readFile(path);
        if (r.endsWith('\n'))
            return r;
        QThread::msleep(5);
    }
    return readFile(path);
}

class DumpMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
        Platform::setClock(&clock_);
        record_ = TestSupport::freshDir(QStringLiteral("record")) + QStringLiteral("/calls.txt");
        setenv("ZDUMP_RECORD_FILE", QFile::encodeName(record_).constData(), 1);
    }
    void TearDown() override { Platform::setClock(nullptr); }

    Platform::ZManualClock clock_;
    QString record_;
};

} // namespace

// The entry is called after a 10 ms head start on the clock; an absent
// library or one without the entry starts nothing and does not pause.
TEST_F(DumpMonitor, EntryIsCalledWithModeIdentifierFlagsAndSecondsWhenFound)
{
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(SearchEngine::startDumpMonitorFrom(u"/nonexistent/folder/zdump.dll"));
    EXPECT_FALSE(SearchEngine::startDumpMonitorFrom(libraryName(ZDUMP_NOEXPORT_LIB)));
    EXPECT_EQ(GetTickCount64(), before);
    EXPECT_FALSE(QFile::exists(record_));

    setIdentifierText(QStringLiteral("ab12-installation"));
    ASSERT_TRUE(SearchEngine::startDumpMonitorFrom(libraryName(ZDUMP_RECORDER_LIB)));
    EXPECT_EQ(GetTickCount64() - before, 10u);
    EXPECT_EQ(waitForRecord(record_), QByteArray("1|ab12-installation|73728|300\n"));
}

TEST_F(DumpMonitor, IdentifierComesFromTheRegistryOnlyWhenItFits)
{
    const QString fallback = QString::fromUtf16(SearchEngine::kDefaultDumpIdentifier);
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), fallback);
    const struct {
        QString text;
        QString expected;
    } cases[] = {
        // 63 characters and their end fill the 128 bytes exactly.
        {QString(63, QLatin1Char('z')), QString(63, QLatin1Char('z'))},
        {QString(64, QLatin1Char('z')), fallback},
        // 128 bytes with no zero character: no end inside the buffer.
        {hexOfUnits(QString(64, QLatin1Char('y'))), fallback},
        // Binary data of odd length ends inside the zeroed buffer.
        {QStringLiteral("hex:41,00,42"), QStringLiteral("AB")},
    };
    for (const auto& c : cases) {
        setIdentifierText(c.text);
        EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), c.expected) << c.text.toStdString();
    }
}
