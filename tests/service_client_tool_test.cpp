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

class ClientTool : public ServiceDrivesTest {
protected:
    // Runs the tool while this thread serves the service; its stdout.
    static QByteArray run(const QStringList& args, QProcess& tool, int timeoutMs = kToolTimeoutMs)
    {
        tool.setProgram(toolPath());
        tool.setArguments(args);
        tool.start();
        spinUntil([&] { return tool.state() == QProcess::NotRunning; }, timeoutMs);
        return tool.readAllStandardOutput();
    }
};

} // namespace

TEST_F(ClientTool, SearchPrintsFullPathsOfMatchingNamesAndWatchPrintsEachMessage)
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

    QProcess search;
    QStringList lines = QString::fromUtf8(run({QStringLiteral("search"), QStringLiteral("Report")}, search))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(search.exitCode(), 0);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{QStringLiteral("C:\\Docs\\2026\\Quarterly REPORT.txt"),
                                  QStringLiteral("C:\\report-index.md")}));

    QProcess watch;
    watch.setProgram(toolPath());
    watch.setArguments({QStringLiteral("--watch")});
    watch.start();
    QByteArray out;
    auto printed = [&](const char* text) {
        return spinUntil([&] { return (out += watch.readAllStandardOutput()).contains(text); }, kToolTimeoutMs);
    };
    ASSERT_TRUE(printed("2 all ready")) << out.constData();
    EXPECT_TRUE(out.startsWith("1 ready C: pool={")) << out.constData();
    c->createFile(kRoot, u"new.txt");
    EXPECT_TRUE(printed("6 appended 0x0043")) << out.constData();
    watch.kill();
    watch.waitForFinished();
}

TEST_F(ClientTool, WithoutServiceOrWithBadArgumentsItSaysSo)
{
    const struct {
        QStringList args;
        int exitCode;
        const char* said;
    } cases[] = {
        {{QStringLiteral("search"), QStringLiteral("x")}, 1, "not running"},
        {{QStringLiteral("search")}, 2, "usage"},
    };
    for (const auto& c : cases) {
        QProcess tool;
        run(c.args, tool);
        EXPECT_EQ(tool.exitCode(), c.exitCode) << c.said;
        EXPECT_TRUE(tool.readAllStandardError().contains(c.said)) << c.said;
    }
}
