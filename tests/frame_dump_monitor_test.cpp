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

void clearHive()
{
    QFile::remove(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
}

// "hex:41,00,..." for the UTF-16 units of text, with no terminating zero.
QString hexOfUnits(const QString& text)
{
    QStringList bytes;
    for (QChar c : text) {
        bytes << QString::number(c.unicode() & 0xFF, 16) << QString::number(c.unicode() >> 8, 16);
    }
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
        clearHive();
        Platform::setClock(&clock_);
        record_ = TestSupport::freshDir(QStringLiteral("record")) + QStringLiteral("/calls.txt");
        setenv("ZDUMP_RECORD_FILE", QFile::encodeName(record_).constData(), 1);
    }
    void TearDown() override { Platform::setClock(nullptr); }

    Platform::ZManualClock clock_;
    QString record_;
};

} // namespace

TEST_F(DumpMonitor, DefaultIdentifierHasTheFormOfAGuidsDigits)
{
    const QString id = QString::fromUtf16(SearchEngine::kDefaultDumpIdentifier);
    ASSERT_EQ(id.size(), 32);
    for (int i = 0; i < id.size(); ++i) {
        const QChar c = id.at(i);
        const bool third = i >= 12 && i < 16;
        EXPECT_TRUE(c.isDigit() || (third ? (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
                                          : (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            << i;
    }
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), id);
}

TEST_F(DumpMonitor, EntryIsCalledWithModeIdentifierFlagsAndSeconds)
{
    const ULONGLONG before = GetTickCount64();
    ASSERT_TRUE(SearchEngine::startDumpMonitorFrom(reinterpret_cast<LPCWSTR>(QStringLiteral(ZDUMP_RECORDER_LIB).utf16())));
    // The 10 ms head start went through the clock.
    EXPECT_EQ(GetTickCount64() - before, 10u);
    EXPECT_EQ(waitForRecord(record_),
              QByteArray("1|") + QString::fromUtf16(SearchEngine::kDefaultDumpIdentifier).toUtf8() + "|73728|300\n");
}

TEST_F(DumpMonitor, IdentifierComesFromTheRegistryWhenItFits)
{
    setIdentifierText(QStringLiteral("ab12-installation"));
    ASSERT_TRUE(SearchEngine::startDumpMonitorFrom(reinterpret_cast<LPCWSTR>(QStringLiteral(ZDUMP_RECORDER_LIB).utf16())));
    EXPECT_EQ(waitForRecord(record_), QByteArray("1|ab12-installation|73728|300\n"));

    // 63 characters and their end fill the 128 bytes exactly.
    const QString longest(63, QLatin1Char('z'));
    setIdentifierText(longest);
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), longest);
}

TEST_F(DumpMonitor, IdentifierThatDoesNotFitGivesTheDefault)
{
    const QString fallback = QString::fromUtf16(SearchEngine::kDefaultDumpIdentifier);
    setIdentifierText(QString(64, QLatin1Char('z')));
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), fallback);
    // 128 bytes with no zero character: no end inside the buffer.
    setIdentifierText(hexOfUnits(QString(64, QLatin1Char('y'))));
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), fallback);
    // Binary data of odd length ends inside the zeroed buffer.
    setIdentifierText(QStringLiteral("hex:41,00,42"));
    EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), QStringLiteral("AB"));
}

TEST_F(DumpMonitor, AbsentLibraryOrMissingExportStartsNothingAndDoesNotPause)
{
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(SearchEngine::startDumpMonitorFrom(u"/nonexistent/folder/zdump.dll"));
    EXPECT_FALSE(SearchEngine::startDumpMonitorFrom(reinterpret_cast<LPCWSTR>(QStringLiteral(ZDUMP_NOEXPORT_LIB).utf16())));
    EXPECT_EQ(GetTickCount64(), before);
    EXPECT_FALSE(QFile::exists(record_));
}
