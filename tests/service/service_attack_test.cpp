// Attacks by another local user on the service: a client that floods the
// one-way stream, more clients than the limits allow, and something planted
// under the single-instance lock's name before the start. The service and
// the attacker share a public temporary folder.
#include "support/ZOtherUser.h"
#include "support/ZServiceTestKit.h"

#include "platform/win32_sync.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

// How long the attacker waits for the service to answer or take its bytes.
constexpr int kAttackerWaitMs = 5000;
constexpr int kAttackTimeoutMs = 60000;
constexpr int kExitTimeoutMs = 10000;

// A stream connection to the socket file at path, or -1 (plain POSIX, for
// the attacker's child).
int connectTo(const QByteArray& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the service took the connection as a client (its first message
// came), false when it closed it.
bool admitted(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    char byte = 0;
    return fd >= 0 && ::poll(&p, 1, kAttackerWaitMs) == 1 && ::recv(fd, &byte, 1, MSG_PEEK) == 1;
}

// Runs attack() as the other user while this process's event loop serves
// the in-process service; the attack's exit status.
int attackWhileServing(const std::function<int()>& attack)
{
    std::future<int> status = std::async(std::launch::async, [&] { return OtherUser::runAs(attack); });
    spinUntil([&] { return status.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              kAttackTimeoutMs);
    return status.get();
}

QString servicePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/searchservice");
}

QString serviceLogPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log/searchservice.searchservice.log");
}

// The lines process `pid`'s main thread added to the service log after `from`.
QByteArray serviceLogLines(qint64 from, qint64 pid)
{
    QFile f(serviceLogPath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        return QByteArray();
    QByteArray own;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int bar = line.indexOf('|');
        if (line.startsWith('[') && bar > 0 && line.mid(1, bar - 1).trimmed() == QByteArray::number(pid))
            own += line + '\n';
    }
    return own;
}

class ServiceAttack : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        app();
        ASSERT_TRUE(enableDebugLog());
    }
    void SetUp() override
    {
        if (!OtherUser::unavailable().isEmpty())
            GTEST_SKIP() << OtherUser::unavailable().toStdString();
        clearStartSettings();
        savedTemp = qgetenv("TMPDIR");
        publicTemp = OtherUser::publicTempFolder();
        qputenv("TMPDIR", QFile::encodeName(publicTemp));
    }
    void TearDown() override
    {
        if (!savedTemp.isEmpty())
            qputenv("TMPDIR", savedTemp);
    }

    QByteArray savedTemp;
    QString publicTemp;
};

} // namespace

// The stream is one-way: a client that writes is cut off at its first bytes,
// before the flood is through, and the others go on hearing.
TEST_F(ServiceAttack, ClientThatFloodsTheOneWayStreamIsCutOffAndOthersAreStillServed)
{
    constexpr qint64 kFloodBytes = qint64(32) << 20;
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    TestClient reader;
    ASSERT_TRUE(reader.connectTo(s.service));
    ASSERT_TRUE(reader.waitForMessages(2));
    const QByteArray path = QFile::encodeName(socketPath());
    const qint64 logBefore = logSize();

    enum { CutOff, AllTaken, Stalled, Failed };
    const int outcome = attackWhileServing([&] {
        const int fd = connectTo(path);
        if (fd < 0)
            return int(Failed);
        static char chunk[64 * 1024];
        std::memset(chunk, 'A', sizeof(chunk));
        for (qint64 sent = 0; sent < kFloodBytes;) {
            pollfd p = {fd, POLLOUT, 0};
            if (::poll(&p, 1, kAttackerWaitMs) != 1)
                return int(Stalled);
            const ssize_t n = ::send(fd, chunk, sizeof(chunk), MSG_NOSIGNAL);
            if (n < 0)
                return errno == EPIPE || errno == ECONNRESET ? int(CutOff) : int(Failed);
            sent += n;
        }
        return int(AllTaken);
    });
    EXPECT_EQ(outcome, CutOff);
    EXPECT_TRUE(spinUntil([&] { return s.service.clientList().size() == 1; }));
    EXPECT_TRUE(logSince(logBefore).contains("client disconnected: uid 65534 sent data on the one-way stream"));
    emit s.volume('C')->itemAppended(5, 1);
    ASSERT_TRUE(reader.waitForMessages(3));
    EXPECT_EQ(reader.messages[2].type, 6);
}

// With room for 3 clients, 2 of one user: root's third is refused for its
// user, the other user's first takes the last place and its second is refused
// for the total; places freed are taken again.
TEST_F(ServiceAttack, ClientsBeyondTheLimitsInAllOrOfOneUserAreRefused)
{
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    s.service.setClientLimits(3, 2);
    const qint64 logBefore = logSize();
    TestClient a, b, refused;
    ASSERT_TRUE(a.connectTo(s.service));
    ASSERT_TRUE(b.connectTo(s.service));
    ASSERT_TRUE(refused.connectByName());
    EXPECT_TRUE(spinUntil([&] { return refused.socket.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(s.service.clientList().size(), 2);

    // Bit i set: the other user's connection i was admitted.
    const QByteArray path = QFile::encodeName(socketPath());
    const int admittedBits = attackWhileServing([&] {
        const bool first = admitted(connectTo(path));
        const bool second = admitted(connectTo(path));
        return (first ? 1 : 0) | (second ? 2 : 0);
    });
    EXPECT_EQ(admittedBits, 1);
    const QByteArray log = logSince(logBefore);
    EXPECT_TRUE(log.contains("client refused: uid 0 has 2 clients connected")) << log.constData();
    EXPECT_TRUE(log.contains("client refused: 3 clients are connected (uid 65534)")) << log.constData();

    // The other user's client left with its process, and a leaves: a new
    // client of root takes a place.
    ASSERT_TRUE(spinUntil([&] { return s.service.clientList().size() == 2; }));
    a.socket.disconnectFromServer();
    ASSERT_TRUE(spinUntil([&] { return s.service.clientList().size() == 1; }));
    TestClient c;
    EXPECT_TRUE(c.connectTo(s.service));
    EXPECT_TRUE(c.waitForMessages(2));
}

// The lock file lies in the shared temporary folder, where the other user can
// plant something under its name first: the real process's start fails and
// says so, rather than run without its guard or make a file through a link.
TEST_F(ServiceAttack, LockPlantedByTheOtherUserFailsTheStartWithAClearError)
{
    const QByteArray lock = QFile::encodeName(Platform::mutexLockPath(QLatin1String(ZService::kInstanceMutexName)));
    const QByteArray target = QFile::encodeName(publicTemp + QStringLiteral("/planted-target"));
    const auto clear = [&] {
        ::unlink(lock.constData());
        ::rmdir(lock.constData());
        ::unlink(target.constData());
    };
    const struct {
        const char* what;
        std::function<int()> plant;
    } cases[] = {
        {"a file",
         [&] {
             const int fd = ::open(lock.constData(), O_CREAT | O_EXCL | O_WRONLY, 0644);
             return fd >= 0 && ::close(fd) == 0 ? 0 : 1;
         }},
        {"a link", [&] { return ::symlink(target.constData(), lock.constData()) == 0 ? 0 : 1; }},
        {"a folder", [&] { return ::mkdir(lock.constData(), 0755) == 0 ? 0 : 1; }},
    };
    const QByteArray refusal = "single-instance lock " + lock + " cannot be opened: ";
    // An empty drive table: a start that got past the guard would end at once
    // (without the folder the table holds the whole root file system).
    ASSERT_TRUE(QDir().mkpath(dosdevices()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear();
        clearStartSettings();
        settingsStore().sync();
        ASSERT_EQ(OtherUser::runAs(c.plant), 0);
        const qint64 logBefore = QFileInfo(serviceLogPath()).size();
        QProcess service;
        service.start(servicePath(), {QStringLiteral("TestService")});
        ASSERT_TRUE(service.waitForStarted(kExitTimeoutMs));
        const qint64 pid = service.processId();
        if (!service.waitForFinished(kExitTimeoutMs)) {
            service.kill();
            service.waitForFinished(kExitTimeoutMs);
            ADD_FAILURE() << "the service ran";
        }
        EXPECT_TRUE(service.readAllStandardError().contains(refusal));
        const QByteArray log = serviceLogLines(logBefore, pid);
        QByteArray logged;
        for (const QByteArray& line : log.split('\n'))
            if (line.contains(refusal))
                logged = line;
        EXPECT_TRUE(logged.contains("ERROR|")) << log.constData();
        EXPECT_FALSE(log.contains("start server failed")) << "it went no further";
        EXPECT_FALSE(QFileInfo::exists(QString::fromLocal8Bit(target))) << "nothing was made through the link";
    }
    clear();
    QDir(dosdevices()).removeRecursively();
}
