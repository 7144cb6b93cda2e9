// Telemetry records through a stand-in library that logs every call: the ten fields
// in order, the event table, runsec, the once-per-process values and the ways binding
// fails. Each scenario runs in a fresh process (first report, first library load).
#include "diagnostics/ZTelemetry.h"
#include "frame/ZSettings.h"
#include "platform/win32_version.h"
#include "support/ZFakeVersionSource.h"
#include "support/ZTelemetryStandIn.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace SearchEngine;

namespace {

using Lines = std::vector<std::string>;

const char kDescription[] =
    "vexa_search_service:8656 dtype:byte reason:short drive:string scanfiles:int scansec:int "
    "updatecount:int runsec:int inittimes:byte os:byte ver:byte";

// Each scenario's child process has its own fresh folders, so its log starts empty.
using TelemetryStandIn::folderWithLibrary;
using TelemetryStandIn::install;
using TelemetryStandIn::setProgramPath;
using TelemetryStandIn::useLog;
const QString kLog = QStringLiteral("tally.log");

struct Fields {
    int dtype, reason;
    std::string drive;
    int scanfiles = 0, scansec = 0, updatecount = 0, runsec = 0, inittimes = 0, os = 0;
};

// The whole call sequence of the given records.
Lines recordLines(const std::vector<Fields>& records)
{
    auto i = [](const char* name, int v) { return std::string("int ") + name + " " + std::to_string(v); };
    Lines out;
    for (const Fields& e : records) {
        const Lines one = {"export ITallyClient2", "initialize", std::string("table ") + kDescription,
                           i("dtype", e.dtype), i("reason", e.reason), "string drive " + e.drive,
                           i("scanfiles", e.scanfiles), i("scansec", e.scansec), i("updatecount", e.updatecount),
                           i("runsec", e.runsec), i("inittimes", e.inittimes), i("os", e.os), i("ver", 1),
                           "write 0", "release"};
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

ScanStats stats(const char* drive, int scanfiles = 0, int scansec = 0, int updatecount = 0)
{
    return {QString::fromLatin1(drive), scanfiles, scansec, updatecount};
}

// Compares in a child process: prints the difference and exits non-zero.
void exitWithComparison(const Lines& got, const Lines& want)
{
    for (size_t k = 0; k < std::max(got.size(), want.size()); ++k) {
        const char* g = k < got.size() ? got[k].c_str() : "<none>";
        const char* w = k < want.size() ? want[k].c_str() : "<none>";
        if (strcmp(g, w) != 0)
            fprintf(stderr, "line %zu: got [%s] want [%s]\n", k, g, w);
    }
    fprintf(stderr, got == want ? "mismatches 0\n" : "log differs\n");
    _exit(got == want ? 0 : 1);
}

// Runs a scenario ending in exitWithComparison in a child process.
void inChild(const std::function<void()>& scenario)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "mismatches 0");
}

} // namespace

// Every event of the table with its fields; runsec from boot, then from the
// start tick across a wrap of the tick count's low 32 bits; the OS code and
// init count as they were at the first report.
TEST(Telemetry, RecordsCarryTheirFieldsRunsecAndTheFirstReportsValues)
{
    inChild([] {
        Platform::ZManualClock clock(0x100002710ull);   // 2^32 ms + 10 s since boot
        TestSupport::FakeVersionSource version;   // Windows 10 build 19045 on AMD64 (OS code 14)
        version.report(VER_PLATFORM_WIN32_NT, 6, 2, 9200, VER_NT_WORKSTATION);
        version.realVersion(10, 0, 19045);
        Platform::setClock(&clock);
        Platform::setVersionSource(&version);
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 2);
        install();
        sendReport(4, 0, stats("C"));
        // Started 4.096 s below 2^32 ms: 14.096 s have passed.
        serviceStartTick().set(0xFFFFF000ull);
        std::vector<Fields> want = {
            {1, 1, ""},  {1, 2, ""},  {1, 3, ""},  {2, 1, "C"}, {2, 2, "D"}, {2, 3, "E"},
            {2, 4, "F"}, {2, 5, "G"}, {3, 0, "C"}, {4, 0, "C"}, {5, 0, "C", 123456, 78}, {6, 87, "C", 0, 0, 9},
            {6, 21, "Z", 0, 0, 1},
        };
        for (size_t k = 0; k < want.size(); ++k) {
            Fields& e = want[k];
            sendReport(e.dtype, e.reason, stats(e.drive.c_str(), e.scanfiles, e.scansec, e.updatecount));
            e.runsec = int((14096 + 1500 * k) / 1000);
            clock.advance(1500);
        }
        // Windows 8.1 and another count from now on: not seen by reports.
        version.realVersion(6, 3, 9600);
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 7);
        sendReport(5, 0, stats("C", 10, 90));
        want.push_back({5, 0, "C", 10, 90, 0, int((14096 + 1500 * want.size()) / 1000)});
        want.insert(want.begin(), {4, 0, "C", 0, 0, 0, 10});
        for (Fields& e : want)
            e.inittimes = 2, e.os = 14;
        exitWithComparison(TelemetryStandIn::logLines(), recordLines(want));
    });
}

TEST(Telemetry, ConcurrentReportsEachWriteAWholeRecord)
{
    inChild([] {
        install();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int k = 0; k < 10; ++k)
                    sendReport(6, 87, stats("C", 0, 0, t * 10 + k));
            });
        for (auto& th : threads)
            th.join();
        const Lines log = TelemetryStandIn::logLines();
        auto count = [&](const std::string& line) { return std::to_string(std::count(log.begin(), log.end(), line)); };
        exitWithComparison({count("write 0"), count("release"), count(std::string("table ") + kDescription)},
                           {"40", "40", "40"});
    });
}

TEST(Telemetry, NoRecordWithoutAUsableLibraryAndNoError)
{
    const struct {
        const char* what;
        void (*report)();
        Lines want;
    } cases[] = {
        {"nowhere at all", [] { useLog(), sendReport(4, 0, stats("C")), sendReport(6, 87, stats("C")); }, {}},
        {"an interface that does not initialise is released unused",
         [] { install(kLog, "noinit"), sendReport(6, 21, stats("C", 0, 0, 2)); },
         {"export ITallyClient2", "initialize", "release"}},
        {"a library without the interface", [] { install(kLog, "null"), sendReport(6, 21, stats("C")); },
         {"export ITallyClient2"}},
        {"only under the current directory: not loaded",
         [] {
             if (chdir(QFile::encodeName(folderWithLibrary(QStringLiteral("cwd"), true)).constData()) != 0)
                 _exit(2);
             useLog(), sendReport(4, 0, stats("C"));
         }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        inChild([&] { c.report(), exitWithComparison(TelemetryStandIn::logLines(), c.want); });
    }
}

TEST(Telemetry, ALibraryOnTheSearchPathIsFound)
{
    // The dynamic loader reads the search path when a process starts: the
    // child process of the death test starts with it.
    const QByteArray saved = qgetenv("LD_LIBRARY_PATH");
    qputenv("LD_LIBRARY_PATH", QFile::encodeName(QFileInfo(QStringLiteral(ZTALLY_TEST_PLUGIN)).path()));
    inChild([] {
        useLog();
        sendReport(4, 0, stats("C"));
        const Lines got = TelemetryStandIn::logLines();
        exitWithComparison(Lines(got.begin(), got.begin() + std::min<size_t>(4, got.size())),
                           {"export ITallyClient2", "initialize", std::string("table ") + kDescription, "int dtype 4"});
    });
    if (saved.isNull())
        qunsetenv("LD_LIBRARY_PATH");
    else
        qputenv("LD_LIBRARY_PATH", saved);
}

TEST(TelemetryBinding, ProgramPathWithOrWithoutTrailingSeparatorNamesTheSameLibrary)
{
    WCHAR buffer[MAX_PATH] = {};
    std::u16string exe(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    exe.resize(exe.find_last_of(u"\\/") + 1);
    const std::vector<std::u16string> want = {exe + u"operation\\cas\\ztally.dll", exe + u"ztally.dll",
                                              u"/opt/orvanta\\operation\\cas\\ztally.dll", u"ztally.dll"};
    for (const char* path : {"/opt/orvanta", "/opt/orvanta\\"}) {
        setProgramPath(QString::fromLatin1(path));
        EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths(), want) << path;
    }
    // A trailing slash is kept as the separator.
    setProgramPath(QStringLiteral("/opt/orvanta/"));
    EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths()[2], u"/opt/orvanta/operation\\cas\\ztally.dll");
    // Shorter than 6 bytes with its terminator, or too long for the
    // 516-byte value buffer: not used.
    for (const QString& path : {QStringLiteral("/"), QString(300, QLatin1Char('a'))}) {
        setProgramPath(path);
        EXPECT_EQ(ZTallyNoZfmtFileWrap::libraryPaths().size(), 3u);
    }
}
