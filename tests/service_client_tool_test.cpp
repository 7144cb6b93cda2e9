// The searchclient tool against a service in this process on an emulated
// drive: a search prints full paths of the names containing the term in any
// ASCII case, --watch prints messages as they arrive, and with no service
// it says so.
#include "support/ZServiceTestKit.h"

#include "platform/ZEmulatedNtfsVolume.h"

#include <gtest/gtest.h>

#include <QProcess>

using namespace ServiceTestKit;
using Platform::ZEmulatedNtfsVolume;

namespace {

constexpr DWORD kRoot = 5;
constexpr int kToolTimeoutMs = 20000;

QString toolPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/searchclient");
}

class ClientTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        clearStartSettings();
        Platform::ZDriveTable::instance().clear();
        ticker.reset(new ClockTicker);
    }
    void TearDown() override
    {
        ticker.reset();
        Platform::ZDriveTable::instance().clear();
    }

    // Runs the tool while this thread serves the service; its stdout.
    static QByteArray run(const QStringList& args, QProcess& tool, int timeoutMs = kToolTimeoutMs)
    {
        tool.setProgram(toolPath());
        tool.setArguments(args);
        tool.start();
        spinUntil([&] { return tool.state() == QProcess::NotRunning; }, timeoutMs);
        return tool.readAllStandardOutput();
    }

    std::unique_ptr<ClockTicker> ticker;
};


} // namespace

TEST_F(ClientTool, SearchPrintsFullPathsOfMatchingNames)
{
    auto c = std::make_shared<ZEmulatedNtfsVolume>();
    const DWORD docs = c->createFolder(kRoot, u"Docs");
    const DWORD year = c->createFolder(docs, u"2026");
    c->createFile(year, u"Quarterly REPORT.txt");
    c->createFile(kRoot, u"report-index.md");
    c->createFile(kRoot, u"unrelated.bin");
    Platform::ZDriveTable::instance().setDrive('C', c);
    RealService s;
    ASSERT_TRUE(s.started);

    QProcess tool;
    const QByteArray out = run({QStringLiteral("search"), QStringLiteral("Report")}, tool);
    EXPECT_EQ(tool.exitCode(), 0);
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{QStringLiteral("C:\\Docs\\2026\\Quarterly REPORT.txt"),
                                  QStringLiteral("C:\\report-index.md")}));
}

TEST_F(ClientTool, WatchPrintsEachMessageAsItArrives)
{
    auto c = std::make_shared<ZEmulatedNtfsVolume>();
    Platform::ZDriveTable::instance().setDrive('C', c);
    RealService s;
    ASSERT_TRUE(s.started);
    ASSERT_TRUE(spinUntil([&] { return s.service.volumeList().front()->isInitDone(); }, 10000));

    QProcess tool;
    tool.setProgram(toolPath());
    tool.setArguments({QStringLiteral("--watch")});
    tool.start();
    QByteArray out;
    ASSERT_TRUE(spinUntil(
        [&] {
            out += tool.readAllStandardOutput();
            return out.contains("2 all ready");
        },
        kToolTimeoutMs));
    EXPECT_TRUE(out.startsWith("1 ready C: pool={")) << out.constData();

    c->createFile(kRoot, u"new.txt");
    EXPECT_TRUE(spinUntil(
        [&] {
            out += tool.readAllStandardOutput();
            return out.contains("6 appended 0x0043");
        },
        kToolTimeoutMs))
        << out.constData();
    tool.kill();
    tool.waitForFinished();
}

TEST_F(ClientTool, WithoutServiceItSaysSo)
{
    QProcess tool;
    run({QStringLiteral("search"), QStringLiteral("x")}, tool);
    EXPECT_EQ(tool.exitCode(), 1);
    EXPECT_TRUE(tool.readAllStandardError().contains("not running"));
}

TEST_F(ClientTool, BadArgumentsPrintUsage)
{
    QProcess tool;
    run({QStringLiteral("search")}, tool);
    EXPECT_EQ(tool.exitCode(), 2);
    EXPECT_TRUE(tool.readAllStandardError().contains("usage"));
}
