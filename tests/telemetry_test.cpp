// Telemetry records through a stand-in library that logs every call: the
// ten fields in order, the event table, runsec, the once-per-process values
// and the ways binding can fail. Scenarios that depend on the process's
// first report or first library load run in a fresh process each.
#include "diagnostics/ZTelemetry.h"
#include "frame/ZSettings.h"
#include "platform/windows.h"
#include "platform/win32_version.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QSettings>
#include <QTextStream>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

using namespace SearchEngine;

namespace {

using Lines = std::vector<std::string>;

const char kDescription[] =
    "vexa_search_service:8656 dtype:byte reason:short drive:string scanfiles:int scansec:int "
    "updatecount:int runsec:int inittimes:byte os:byte ver:byte";

// Windows 10 build 19045 on AMD64: OS code 14.
class Windows10Source : public Platform::ZVersionSource {
public:
    int minor = 2;
    bool versionEx(OSVERSIONINFOW* info) override
    {
        OSVERSIONINFOEXW v{};
        v.dwOSVersionInfoSize = info->dwOSVersionInfoSize;
        v.dwPlatformId = VER_PLATFORM_WIN32_NT;
        v.dwMajorVersion = 6;
        v.dwMinorVersion = DWORD(minor);
        v.wProductType = VER_NT_WORKSTATION;
        memcpy(info, &v, info->dwOSVersionInfoSize);
        return true;
    }
    bool ntVersionNumbers(DWORD* major, DWORD* minorOut, DWORD* build) override
    {
        *major = minor == 2 ? 10 : 6;
        *minorOut = minor == 2 ? 0 : DWORD(minor);
        *build = 19045;
        return true;
    }
    bool kernelFileVersion(VS_FIXEDFILEINFO*) override { return false; }
    bool nativeSystemInfo(SYSTEM_INFO* info) override
    {
        info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
        return true;
    }
};

QString tallyLogPath()
{
    return TestSupport::testRoot() + QStringLiteral("/tally.log");
}

// Points the stand-in library's log at a fresh file and sets its mode.
void resetTallyLog(const char* mode = "ok")
{
    QFile::remove(tallyLogPath());
    setenv("ZTALLY_TEST_LOG", QFile::encodeName(tallyLogPath()).constData(), 1);
    setenv("ZTALLY_TEST_MODE", mode, 1);
}

Lines tallyLog()
{
    Lines lines;
    QFile f(tallyLogPath());
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    while (!f.atEnd()) {
        QByteArray line = f.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        lines.push_back(line.toStdString());
    }
    return lines;
}

void setProgramPath(const QString& value)
{
    QSettings ini(Platform::registryHivePath(HKEY_LOCAL_MACHINE), QSettings::IniFormat);
    ini.setValue(Platform::registryGroup(QStringLiteral("SOFTWARE\\orvanta\\Antivirus")) + QStringLiteral("/ProgramPath"),
                 value);
    ini.sync();
}

// A program folder holding operation/cas/libztally.so, named by "ProgramPath".
QString installLibraryUnderProgramPath()
{
    const QString program = TestSupport::freshDir(QStringLiteral("program"));
    QDir().mkpath(program + QStringLiteral("/operation/cas"));
    QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), program + QStringLiteral("/operation/cas/libztally.so"));
    setProgramPath(program);
    return program;
}

struct Expected {
    int dtype, reason;
    std::string drive;
    int scanfiles, scansec, updatecount, runsec, inittimes, os;
};

Lines recordLines(const Expected& e)
{
    auto i = [](const char* name, int v) { return std::string("int ") + name + " " + std::to_string(v); };
    return {"export ITallyClient2",
            "initialize",
            std::string("table ") + kDescription,
            i("dtype", e.dtype),
            i("reason", e.reason),
            "string drive " + e.drive,
            i("scanfiles", e.scanfiles),
            i("scansec", e.scansec),
            i("updatecount", e.updatecount),
            i("runsec", e.runsec),
            i("inittimes", e.inittimes),
            i("os", e.os),
            i("ver", 1),
            "write 0",
            "release"};
}

ScanStats stats(const char* drive, int scanfiles = 0, int scansec = 0, int updatecount = 0)
{
    ScanStats s;
    s.drive = QString::fromLatin1(drive);
    s.scanfiles = scanfiles;
    s.scansec = scansec;
    s.updatecount = updatecount;
    return s;
}

// Compares in a child process: prints the difference and exits non-zero.
void exitWithComparison(const Lines& got, const Lines& want)
{
    int bad = got.size() != want.size();
    for (size_t k = 0; k < std::max(got.size(), want.size()); ++k) {
        const std::string g = k < got.size() ? got[k] : "<none>";
        const std::string w = k < want.size() ? want[k] : "<none>";
        if (g != w) {
            fprintf(stderr, "line %zu: got [%s] want [%s]\n", k, g.c_str(), w.c_str());
            ++bad;
        }
    }
    fprintf(stderr, "mismatches %d\n", bad);
    fflush(stderr);
    _exit(bad ? 1 : 0);
}

class TelemetryTest : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

// Scenarios, each run in a child process of its own.

void scenarioNoLibraryAnywhereMeansNoRecordAndNoError()
{
    resetTallyLog();
    serviceStartTick().sendReport(ReportBuildBegin, 0, stats("C"));
    serviceStartTick().sendReport(ReportListenFailed, 87, stats("C", 0, 0, 4));
    exitWithComparison(tallyLog(), {});
}

void scenarioEveryEventOfTheTableCarriesItsFields()
{
    Platform::ZManualClock clock(5000000);
    Platform::setClock(&clock);
    Windows10Source version;
    Platform::setVersionSource(&version);
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 2);
    installLibraryUnderProgramPath();
    resetTallyLog();

    serviceStartTick().set(GetTickCount64());
    struct Event {
        int dtype, reason;
        ScanStats stats;
    };
    const std::vector<Event> events = {
        {1, 1, stats("")},
        {1, 2, stats("")},
        {1, 3, stats("")},
        {2, 1, stats("C")},
        {2, 2, stats("D")},
        {2, 3, stats("E")},
        {2, 4, stats("F")},
        {2, 5, stats("G")},
        {3, 0, stats("C")},
        {4, 0, stats("C")},
        {5, 0, stats("C", 123456, 78)},
        {6, 87, stats("C", 0, 0, 9)},
        {6, 21, stats("Z", 0, 0, 1)},
    };
    Lines want;
    int runsec = 0;
    for (const Event& e : events) {
        sendReport(e.dtype, e.reason, e.stats);
        const Lines one = recordLines({e.dtype, e.reason, e.stats.drive.toStdString(), e.stats.scanfiles,
                                       e.stats.scansec, e.stats.updatecount, runsec, 2, 14});
        want.insert(want.end(), one.begin(), one.end());
        clock.advance(1500);  // runsec counts whole seconds
        runsec = int((clock.tickMs() - serviceStartTick().value()) / 1000);
    }
    exitWithComparison(tallyLog(), want);
}

void scenarioOsCodeAndInitTimesAreTakenAtTheFirstReportOnly()
{
    Platform::ZManualClock clock(5000000);
    Platform::setClock(&clock);
    Windows10Source version;
    Platform::setVersionSource(&version);
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);
    installLibraryUnderProgramPath();
    resetTallyLog();
    serviceStartTick().set(GetTickCount64());
    sendReport(4, 0, stats("C"));
    // Windows 8.1 and another count from now on: not seen by reports.
    version.minor = 3;
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 7);
    clock.advance(90000);
    sendReport(5, 0, stats("C", 10, 90));
    Lines want = recordLines({4, 0, "C", 0, 0, 0, 0, 3, 14});
    const Lines second = recordLines({5, 0, "C", 10, 90, 0, 90, 3, 14});
    want.insert(want.end(), second.begin(), second.end());
    exitWithComparison(tallyLog(), want);
}

void scenarioRunsecCountsFromTheStartTickOrFromBootAndWrapsWithTheLowTickBits()
{
    // Never set: the uptime, modulo 2^32 milliseconds.
    Platform::ZManualClock clock(0x100002710ull);  // 2^32 ms + 10 s
    Platform::setClock(&clock);
    Windows10Source version;
    Platform::setVersionSource(&version);
    installLibraryUnderProgramPath();
    resetTallyLog();
    sendReport(4, 0, stats("C"));
    Lines want = recordLines({4, 0, "C", 0, 0, 0, 10, 0, 14});
    // Started 4.096 s below 2^32 ms, reported 14.096 s later: the low 32 bits
    // of the tick count wrapped in between.
    serviceStartTick().set(0xFFFFF000ull);
    sendReport(4, 0, stats("C"));
    const Lines second = recordLines({4, 0, "C", 0, 0, 0, 14, 0, 14});
    want.insert(want.end(), second.begin(), second.end());
    exitWithComparison(tallyLog(), want);
}

void scenarioAnInterfaceThatDoesNotInitialiseIsReleasedAndNotUsed()
{
    installLibraryUnderProgramPath();
    resetTallyLog("noinit");
    sendReport(6, 21, stats("C", 0, 0, 2));
    exitWithComparison(tallyLog(), {"export ITallyClient2", "initialize", "release"});
}

void scenarioALibraryWithoutTheInterfaceGivesNoRecord()
{
    installLibraryUnderProgramPath();
    resetTallyLog("null");
    sendReport(6, 21, stats("C", 0, 0, 2));
    exitWithComparison(tallyLog(), {"export ITallyClient2"});
}

void scenarioConcurrentReportsEachWriteAWholeRecord()
{
    installLibraryUnderProgramPath();
    resetTallyLog();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int k = 0; k < 10; ++k)
                sendReport(6, 87, stats("C", 0, 0, t * 10 + k));
        });
    for (auto& th : threads)
        th.join();
    int writes = 0, releases = 0, tables = 0;
    for (const std::string& l : tallyLog()) {
        writes += l == "write 0";
        releases += l == "release";
        tables += l.rfind("table ", 0) == 0;
    }
    exitWithComparison({std::to_string(writes), std::to_string(releases), std::to_string(tables)},
                       {"40", "40", "40"});
}


void scenarioALibraryUnderTheCurrentDirectoryIsNotLoaded()
{
    const QString cwd = TestSupport::freshDir(QStringLiteral("cwd"));
    QDir().mkpath(cwd + QStringLiteral("/operation/cas"));
    QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), cwd + QStringLiteral("/operation/cas/libztally.so"));
    QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), cwd + QStringLiteral("/libztally.so"));
    if (chdir(QFile::encodeName(cwd).constData()) != 0)
        _exit(2);
    resetTallyLog();
    sendReport(4, 0, stats("C"));
    exitWithComparison(tallyLog(), {});
}

// The parent put the library's folder on LD_LIBRARY_PATH before this process started.
void scenarioALibraryOnTheSearchPathIsFound()
{
    resetTallyLog();
    sendReport(4, 0, stats("C"));
    const Lines got = tallyLog();
    exitWithComparison(Lines(got.begin(), got.begin() + std::min<size_t>(4, got.size())),
                       {"export ITallyClient2", "initialize", std::string("table ") + kDescription, "int dtype 4"});
}

} // namespace

TEST(TelemetryTable, DescriptionIsFixed)
{
    EXPECT_EQ(std::u16string(kTallyTableDescription), QString::fromLatin1(kDescription).toStdU16String());
    EXPECT_EQ(std::char_traits<char16_t>::length(kTallyTableDescription), 146u);
}

TEST_F(TelemetryTest, NoLibraryAnywhereMeansNoRecordAndNoError)
{
    EXPECT_EXIT(scenarioNoLibraryAnywhereMeansNoRecordAndNoError(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, EveryEventOfTheTableCarriesItsFields)
{
    EXPECT_EXIT(scenarioEveryEventOfTheTableCarriesItsFields(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, OsCodeAndInitTimesAreTakenAtTheFirstReportOnly)
{
    EXPECT_EXIT(scenarioOsCodeAndInitTimesAreTakenAtTheFirstReportOnly(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, RunsecCountsFromTheStartTickOrFromBootAndWrapsWithTheLowTickBits)
{
    EXPECT_EXIT(scenarioRunsecCountsFromTheStartTickOrFromBootAndWrapsWithTheLowTickBits(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, AnInterfaceThatDoesNotInitialiseIsReleasedAndNotUsed)
{
    EXPECT_EXIT(scenarioAnInterfaceThatDoesNotInitialiseIsReleasedAndNotUsed(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, ALibraryWithoutTheInterfaceGivesNoRecord)
{
    EXPECT_EXIT(scenarioALibraryWithoutTheInterfaceGivesNoRecord(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, ConcurrentReportsEachWriteAWholeRecord)
{
    EXPECT_EXIT(scenarioConcurrentReportsEachWriteAWholeRecord(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST(TelemetryBinding, ProgramPathWithOrWithoutTrailingSeparatorNamesTheSameLibrary)
{
    const std::u16string exe = [] {
        WCHAR buffer[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        std::u16string p(buffer, n);
        p.resize(p.find_last_of(u"\\/") + 1);
        return p;
    }();
    const std::u16string program = u"/opt/orvanta";
    const std::vector<std::u16string> want = {exe + u"operation\\cas\\ztally.dll", exe + u"ztally.dll",
                                              program + u"\\operation\\cas\\ztally.dll", u"ztally.dll"};
    setProgramPath(QStringLiteral("/opt/orvanta"));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths(), want);
    setProgramPath(QStringLiteral("/opt/orvanta\\"));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths(), want);
    // A trailing slash is kept as the separator.
    setProgramPath(QStringLiteral("/opt/orvanta/"));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths()[2], u"/opt/orvanta/operation\\cas\\ztally.dll");
    // Shorter than 6 bytes with its terminator: not used.
    setProgramPath(QStringLiteral("/"));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths().size(), 3u);
    // Too long for the 516-byte value buffer: not used.
    setProgramPath(QString(300, QLatin1Char('a')));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths().size(), 3u);
}

TEST_F(TelemetryTest, ALibraryUnderTheCurrentDirectoryIsNotLoaded)
{
    EXPECT_EXIT(scenarioALibraryUnderTheCurrentDirectoryIsNotLoaded(), ::testing::ExitedWithCode(0), "mismatches 0");
}

TEST_F(TelemetryTest, ALibraryOnTheSearchPathIsFound)
{
    // The dynamic loader reads the search path when a process starts: the
    // child process of the death test starts with it.
    const QByteArray saved = qgetenv("LD_LIBRARY_PATH");
    qputenv("LD_LIBRARY_PATH", QFile::encodeName(QFileInfo(QStringLiteral(ZTALLY_TEST_PLUGIN)).path()));
    EXPECT_EXIT(scenarioALibraryOnTheSearchPathIsFound(), ::testing::ExitedWithCode(0), "mismatches 0");
    if (saved.isNull())
        qunsetenv("LD_LIBRARY_PATH");
    else
        qputenv("LD_LIBRARY_PATH", saved);
}
