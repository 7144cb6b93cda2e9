// The program's entry: the runner table, runner names on the command line,
// and the crash-dump monitor it starts first (library, entry, identifier).
#include "diagnostics/ZDumpMonitor.h"
#include "frame/ProcessHelpers.h"
#include "frame/ZRunnerTable.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

int searchMain(int argc, char** argv);

using namespace FrameTest;

namespace {

QString serviceCopy(const char* name, const QString& library = QString())
{
    return copyProgram(QStringLiteral(SEARCHSERVICE_EXE), QLatin1String(name), library);
}

// What a recording runner saw.
std::vector<std::string> recordedArgs;
char** recordedArgv = nullptr;

int recordingRunner(int argc, char** argv)
{
    recordedArgs.assign(argv, argv + argc);
    recordedArgv = argv;
    return 7;
}

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

TEST(RunnerTable, NamesMatchInAnyCaseLaterOnesReplaceAndMainPassesTheWholeVector)
{
    SearchEngine::registerRunner("MixedCase", recordingRunner);
    EXPECT_EQ(SearchEngine::findRunner(QStringLiteral("MixedCase ")), nullptr);

    char a0[] = "/x/searchservice", a1[] = "mIxEdCaSe", a2[] = "--more", a3[] = "", a4[] = "last arg";
    char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    EXPECT_EQ(searchMain(5, argv), 7);   // the runner's result
    EXPECT_EQ(recordedArgs, (std::vector<std::string>{"/x/searchservice", "mIxEdCaSe", "--more", "", "last arg"}));
    EXPECT_EQ(recordedArgv, argv);

    SearchEngine::registerRunner("mixedcase", [](int, char**) { return 9; });
    EXPECT_EQ((*SearchEngine::findRunner(QStringLiteral("MIXEDCASE")))(0, nullptr), 9);
}

// The executable always exits 0, with the crash-dump library beside it, or
// without it or its export; names match in any letter case and unknown ones
// are reported; the dump monitor starts first, even without arguments.
TEST(Entry, RunnerNamesAndTheDumpMonitor)
{
    const QString withRecorder = serviceCopy("entry", QStringLiteral(ZDUMP_RECORDER_LIB));
    const QString record = QFileInfo(withRecorder).absolutePath() + QStringLiteral("/calls.txt");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZDUMP_RECORD_FILE"), record);
    const QString withoutLibrary = serviceCopy("nodump");
    const QString withoutExport = serviceCopy("noexport", QStringLiteral(ZDUMP_NOEXPORT_LIB));
    const QByteArray recorded = "1|5E3A91C7B2D44f6a8C1D7B0E9F25A463|73728|300\n";
    const struct {
        const QString& program;
        QStringList args;
        const char* said;   // on stderr; nothing when empty
        bool usage = false; // the usage on stdout (asked for) or after what was said
    } cases[] = {
        {withRecorder, {}, "Please Input UnitTest Name!", true},
        {withRecorder, {QStringLiteral("TestSharedPool ")}, "Not Exist UnitTest:  TestSharedPool  !", true},
        {withRecorder, {QStringLiteral("--help")}, "", true},
        {withRecorder, {QStringLiteral("TestSharedPool"), QStringLiteral("extra")}, ""},
        {withRecorder, {QStringLiteral("tEsTsHaReDpOoL")}, ""},
        {withoutLibrary, {QStringLiteral("TestSharedPool")}, ""},
        {withoutExport, {QStringLiteral("TestSharedPool")}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((QFileInfo(c.program).absolutePath() + ' ' + c.args.join(QLatin1Char(' '))).toStdString());
        QFile::remove(record);
        const ProcessResult r = runProgram(c.program, c.args, env);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0);
        if (*c.said)
            EXPECT_TRUE(r.err.contains(c.said)) << r.err.constData();
        else
            EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
        EXPECT_EQ((*c.said ? r.err : r.out).contains("usage: searchservice TestService"), c.usage);
        EXPECT_EQ(readFile(record), &c.program == &withRecorder ? recorded : QByteArray());
    }
}

// The identifier comes from the registry only when it fits. The entry is
// called after a 10 ms head start on the clock; an absent library or one
// without the entry starts nothing and does not pause.
TEST_F(DumpMonitor, EntryIsCalledWithTheIdentifierThatFitsFlagsAndSecondsWhenFound)
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
        // 128 bytes of 64 'y' units with no zero character: no end inside the buffer.
        {QStringLiteral("hex:") + QStringLiteral("79,00,").repeated(64).chopped(1), fallback},
        // Binary data of odd length ends inside the zeroed buffer.
        {QStringLiteral("hex:41,00,42"), QStringLiteral("AB")},
    };
    for (const auto& c : cases) {
        setIdentifierText(c.text);
        EXPECT_EQ(SearchEngine::dumpMonitorIdentifier(), c.expected) << c.text.toStdString();
    }

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
