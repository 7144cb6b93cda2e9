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

TEST(RunnerTable, KeysAreLowerCasedLaterOnesReplaceAndMainPassesTheWholeVector)
{
    SearchEngine::registerRunner("MixedCase", recordingRunner);
    EXPECT_TRUE(SearchEngine::runnerTable().count(QStringLiteral("mixedcase")));
    EXPECT_FALSE(SearchEngine::runnerTable().count(QStringLiteral("MixedCase")));
    EXPECT_EQ(SearchEngine::findRunner(QStringLiteral("MixedCase ")), nullptr);

    char a0[] = "/x/searchservice", a1[] = "mIxEdCaSe", a2[] = "--more", a3[] = "", a4[] = "last arg";
    char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    EXPECT_EQ(searchMain(5, argv), 0);   // whatever the runner returns
    EXPECT_EQ(recordedArgs, (std::vector<std::string>{"/x/searchservice", "mIxEdCaSe", "--more", "", "last arg"}));
    EXPECT_EQ(recordedArgv, argv);

    SearchEngine::registerRunner("mixedcase", [](int, char**) { return 9; });
    EXPECT_EQ((*SearchEngine::findRunner(QStringLiteral("MIXEDCASE")))(0, nullptr), 9);
}

// The executable always exits 0; names match in any letter case and unknown
// ones are reported; the dump monitor starts first, even without arguments.
TEST(Entry, RunnerNamesAndTheDumpMonitor)
{
    const QString program = serviceCopy("entry", QStringLiteral(ZDUMP_RECORDER_LIB));
    const QString record = QFileInfo(program).absolutePath() + QStringLiteral("/calls.txt");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZDUMP_RECORD_FILE"), record);
    const struct {
        QStringList args;
        const char* said;   // on stderr; nothing when empty
    } cases[] = {
        {{}, "Please Input UnitTest Name!"},
        {{QStringLiteral("TestSharedPool ")}, "Not Exist UnitTest:  TestSharedPool  !"},
        {{QStringLiteral("NoSuchRunner"), QStringLiteral("x")}, "Not Exist UnitTest:  NoSuchRunner !"},
        {{QStringLiteral("TestSharedPool"), QStringLiteral("extra")}, ""},
        {{QStringLiteral("testsharedpool")}, ""},
        {{QStringLiteral("tEsTsHaReDpOoL")}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        QFile::remove(record);
        const ProcessResult r = runProgram(program, c.args, env);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0);
        if (*c.said)
            EXPECT_TRUE(r.err.contains(c.said)) << r.err.constData();
        else
            EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
        EXPECT_EQ(readFile(record), QByteArray("1|5E3A91C7B2D44f6a8C1D7B0E9F25A463|73728|300\n"));
    }
}

TEST(Entry, RunsTheSameWithoutTheDumpLibraryOrWithoutItsExport)
{
    for (const QString& library : {QString(), QStringLiteral(ZDUMP_NOEXPORT_LIB)}) {
        const ProcessResult r = runProgram(serviceCopy("nodump", library), {QStringLiteral("TestSharedPool")});
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    }
}
