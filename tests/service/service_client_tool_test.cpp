// The searchclient tool against a service in this process on an emulated
// drive: a search prints full paths of the names containing the term in any
// ASCII case, --watch prints messages as they arrive, and with no service
// it says so.
#include "support/ZServiceTestKit.h"

#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "support/ZOtherUser.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

using namespace ServiceTestKit;
using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZService;

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

// Another user listening on the service's name in a shared temporary folder
// (the service not running) is refused before anything it says is believed.
TEST_F(ClientTool, AnImpostorOnTheServiceNameIsRefused)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    const QString shared = OtherUser::publicTempFolder();
    const QByteArray path = QFile::encodeName(shared + QLatin1Char('/') + QLatin1String(ZService::kServerName));
    ::unlink(path.constData());
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t impostor = fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        ::close(ready[0]);
        ::close(done[1]);
        if (setgroups(0, nullptr) != 0 || setgid(OtherUser::kGid) != 0 || setuid(OtherUser::kUid) != 0)
            _exit(1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::strncpy(at.sun_path, path.constData(), sizeof at.sun_path - 1);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 4) != 0)
            _exit(1);
        (void)!::write(ready[1], "r", 1);
        // Every client hears a forged drive, until the test is over.
        for (;;) {
            pollfd waits[2] = {{fd, POLLIN, 0}, {done[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 || waits[1].revents)
                _exit(0);
            const int client = ::accept(fd, nullptr, nullptr);
            const char forged[] = "1\tbogus\t67\t1\t0<<2<<";
            (void)!::send(client, forged, sizeof forged - 1, MSG_NOSIGNAL);   // a client may be gone already
        }
    }
    ::close(ready[1]);
    ::close(done[0]);
    char any;
    ASSERT_EQ(::read(ready[0], &any, 1), 1);
    for (const QStringList& args : {QStringList{QStringLiteral("search"), QStringLiteral("x")},
                                    QStringList{QStringLiteral("--watch")}}) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), shared);
        tool.setProcessEnvironment(env);
        const QByteArray out = run(args, tool);
        EXPECT_EQ(tool.exitCode(), 1) << args.join(' ').toStdString();
        EXPECT_TRUE(out.isEmpty()) << out.constData();
        const QByteArray said = tool.readAllStandardError();
        EXPECT_TRUE(said.contains("not trusted")) << args.join(' ').toStdString() << ": " << said.constData();
    }
    ::close(done[1]);
    ::close(ready[0]);
    ::waitpid(impostor, nullptr, 0);
    ::unlink(path.constData());
}
