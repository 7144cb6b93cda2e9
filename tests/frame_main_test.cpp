#include "frame/ProcessHelpers.h"
#include "frame/ZRunnerTable.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>
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

} // namespace

// ---- The table ----

TEST(RunnerTable, KeysAreLowerCasedAndLaterRegistrationsReplace)
{
    SearchEngine::registerRunner("MixedCase", recordingRunner);
    EXPECT_TRUE(SearchEngine::runnerTable().count(QStringLiteral("mixedcase")));
    EXPECT_FALSE(SearchEngine::runnerTable().count(QStringLiteral("MixedCase")));
    EXPECT_NE(SearchEngine::findRunner(QStringLiteral("MIXEDCASE")), nullptr);
    EXPECT_EQ(SearchEngine::findRunner(QStringLiteral("MixedCase ")), nullptr);

    SearchEngine::registerRunner("mixedcase", [](int, char**) { return 9; });
    EXPECT_EQ((*SearchEngine::findRunner(QStringLiteral("MixedCase")))(0, nullptr), 9);
}

TEST(RunnerTable, MainPassesTheWholeArgumentVectorAndReturnsZero)
{
    SearchEngine::registerRunner("RecordArgs", recordingRunner);
    char a0[] = "/x/searchservice", a1[] = "rEcOrDaRgS", a2[] = "--more", a3[] = "", a4[] = "last arg";
    char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    recordedArgs.clear();
    EXPECT_EQ(searchMain(5, argv), 0);
    EXPECT_EQ(recordedArgs, (std::vector<std::string>{"/x/searchservice", "rEcOrDaRgS", "--more", "", "last arg"}));
    EXPECT_EQ(recordedArgv, argv);
}

// ---- The executable ----

TEST(Entry, NoArgumentAsksForARunnerName)
{
    const ProcessResult r = runProgram(serviceCopy("noarg"), {});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("Please Input UnitTest Name!")) << r.err.constData();
}

TEST(Entry, RunnerNameMatchesInAnyLetterCase)
{
    const QString program = serviceCopy("case");
    for (const char* name : {"TestSharedPool", "testsharedpool", "TESTSHAREDPOOL", "tEsTsHaReDpOoL"}) {
        const ProcessResult r = runProgram(program, {QLatin1String(name), QStringLiteral("extra")});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_FALSE(r.err.contains("Not Exist UnitTest")) << name << r.err.constData();
        EXPECT_FALSE(r.err.contains("Please Input")) << name;
    }
}

TEST(Entry, UnknownNamesAreReportedWithExitCodeZero)
{
    const QString program = serviceCopy("unknown");
    const ProcessResult trailing = runProgram(program, {QStringLiteral("TestSharedPool ")});
    EXPECT_EQ(trailing.exitCode, 0);
    EXPECT_TRUE(trailing.err.contains("Not Exist UnitTest:  TestSharedPool  !")) << trailing.err.constData();

    const ProcessResult other = runProgram(program, {QStringLiteral("NoSuchRunner"), QStringLiteral("x")});
    EXPECT_EQ(other.exitCode, 0);
    EXPECT_TRUE(other.err.contains("Not Exist UnitTest:  NoSuchRunner !")) << other.err.constData();
}

TEST(Entry, DumpMonitorIsStartedEvenWithoutArguments)
{
    const QString program = serviceCopy("dump", QStringLiteral(ZDUMP_RECORDER_LIB));
    const QString record = QFileInfo(program).absolutePath() + QStringLiteral("/calls.txt");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZDUMP_RECORD_FILE"), record);
    const ProcessResult r = runProgram(program, {}, env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("Please Input UnitTest Name!"));
    EXPECT_EQ(readFile(record), QByteArray("1|5E3A91C7B2D44f6a8C1D7B0E9F25A463|73728|300\n"));
}

TEST(Entry, RunsTheSameWithoutTheDumpLibraryOrWithoutItsExport)
{
    for (const QString& library : {QString(), QStringLiteral(ZDUMP_NOEXPORT_LIB)}) {
        const QString program = serviceCopy("nodump", library);
        const ProcessResult r = runProgram(program, {QStringLiteral("TestSharedPool")});
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    }
}
