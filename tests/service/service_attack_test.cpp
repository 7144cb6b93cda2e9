// Attacks by another local user on the service: a client that floods the
// one-way stream, more clients than the limits allow, names taken in the
// shared temporary folder before the start, against the installed layout and
// against a run without a runtime folder of its own, and an impostor
// listening on the service's name for the searchclient tool.
#include "support/ZHeldChild.h"
#include "support/ZOtherUser.h"
#include "support/ZServiceProcess.h"

#include "storage/ZSharedSegment.h"
#include "wire/ZWireProtocol.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include <fcntl.h>
#include <sys/file.h>
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

// A stream connection to the socket file at path, or -1 (plain POSIX, for
// the attacker's child).
int connectTo(const QByteArray& path)
{
    const sockaddr_un address = unixAddress(path);
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
        // The installed layout: a runtime folder root made (as systemd makes
        // RuntimeDirectory=), open to others for search only.
        runtime = TestSupport::freshDir(QStringLiteral("run")) + QStringLiteral("/searchservice");
        ASSERT_EQ(::mkdir(QFile::encodeName(runtime).constData(), 0755), 0);
        ::chmod(QFile::encodeName(TestSupport::testRoot() + QStringLiteral("/work")).constData(), 0711);
        ::chmod(QFile::encodeName(QFileInfo(runtime).absolutePath()).constData(), 0711);
        qputenv("RUNTIME_DIRECTORY", QFile::encodeName(runtime));
        // The index is shared with the other user's group, as the installed
        // one is with searchservice: the attacks come from a member.
        qputenv(SearchEngine::kSegmentGroupVariable, QByteArray::number(OtherUser::kGid));
        ASSERT_TRUE(QDir().mkpath(dosdevices()));
    }
    void TearDown() override
    {
        QDir(dosdevices()).removeRecursively();
        qunsetenv("RUNTIME_DIRECTORY");
        qunsetenv(SearchEngine::kSegmentGroupVariable);
        if (!savedTemp.isEmpty())
            qputenv("TMPDIR", savedTemp);
    }

    // Names another user may take in a shared temporary folder: the runtime
    // subfolder, the lock, the socket and the key folder the service would
    // use there if it used the folder directly.
    static QStringList fixedNames()
    {
        return {QStringLiteral("searchservice-0"), QLatin1String(ZService::kInstanceMutexName),
                QLatin1String(SearchEngine::ServiceServerName), QStringLiteral("SearchEngine-keys-0")};
    }
    // What earlier runs or cases made at those names goes first.
    void clearFixedNames() const
    {
        for (const QString& name : fixedNames()) {
            ::unlink(QFile::encodeName(publicTemp + '/' + name).constData());
            QDir(publicTemp + '/' + name).removeRecursively();
        }
    }

    QByteArray savedTemp;
    QString publicTemp;
    QString runtime;
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

// Only who may read the index may connect: the members of the group it is
// shared with, or without one the service's own user. Anyone else gets no
// connection, so neither the stream nor a client's place.
TEST_F(ServiceAttack, OnlyThoseWhoMayReadTheIndexCanConnect)
{
    const struct {
        const char* name;
        const char* group;   // SEARCH_SEGMENT_GROUP; nullptr: none
        mode_t mode;
        gid_t gid;
        bool otherUserAdmitted;
    } rows[] = {
        {"shared with the other user's group", "65534", 0770, OtherUser::kGid, true},
        {"shared with a group the other user is not in", "0", 0770, 0, false},
        {"not shared", nullptr, 0700, ::getegid(), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.group)
            qputenv(SearchEngine::kSegmentGroupVariable, row.group);
        else
            qunsetenv(SearchEngine::kSegmentGroupVariable);
        ServiceUnderTest s(u"C");
        ASSERT_TRUE(s.started);
        s.volume('C')->announce();
        const QByteArray path = QFile::encodeName(socketPath());
        struct stat st = {};
        ASSERT_EQ(::lstat(path.constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, row.mode);
        EXPECT_EQ(st.st_gid, row.gid);
        EXPECT_EQ(attackWhileServing([&] { return admitted(connectTo(path)) ? 1 : 0; }), row.otherUserAdmitted ? 1 : 0);
        // The other user's client is gone with its process; the own user's comes.
        ASSERT_TRUE(spinUntil([&] { return s.service.clientList().isEmpty(); }));
        TestClient own;
        EXPECT_TRUE(own.connectTo(s.service));
    }
}

// The installed layout: the runtime folder is made by root (as systemd
// makes RuntimeDirectory=) and no one else can write it. The other user
// takes every fixed name of the shared folder first (the lock made and
// flocked, links to a file of root's at the others), fills that folder and tries to plant the same
// names in the runtime folder: the service still starts and serves, and
// nothing was followed or emptied.
TEST_F(ServiceAttack, PlantsInTheSharedFolderNeitherStopNorMisleadTheInstalledService)
{
    const QByteArray canary = QFile::encodeName(TestSupport::freshDir(QStringLiteral("canary")) + "/root-file");
    ASSERT_TRUE(writeFile(QString::fromLocal8Bit(canary)));
    clearFixedNames();
    const QByteArray lock = QFile::encodeName(publicTemp + '/' + QLatin1String(ZService::kInstanceMutexName));
    ZHeldChild holder(ZHeldChild::As::OtherUser,
                      [&] { return ::flock(::open(lock.constData(), O_RDWR | O_CREAT, 0644), LOCK_EX) == 0; });
    ASSERT_TRUE(holder.held);
    constexpr int kFillerFiles = 2000;
    // Bit i: planting fixed name i inside the runtime folder succeeded.
    const int plantedInside = OtherUser::runAs([&] {
        int inside = 0, i = 0;
        for (const QString& name : fixedNames()) {
            ::symlink(canary.constData(), QFile::encodeName(publicTemp + '/' + name).constData());
            if (::symlink(canary.constData(), QFile::encodeName(runtime + '/' + name).constData()) == 0)
                inside |= 1 << i;
            ++i;
        }
        for (int n = 0; n < kFillerFiles; ++n)
            ::close(::open(QFile::encodeName(publicTemp + QStringLiteral("/fill%1").arg(n)).constData(),
                           O_CREAT | O_WRONLY, 0644));
        return inside;
    });
    EXPECT_EQ(plantedInside, 0) << "the runtime folder is root's alone";

    ASSERT_TRUE(linkDrive(TestSupport::freshDir(QStringLiteral("tree")), QStringLiteral("c:")));
    ZServiceProcess service;
    service.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    TestClient client;
    EXPECT_TRUE(service.serves(client, kAttackTimeoutMs));
    EXPECT_EQ(socketPath(), runtime + '/' + QLatin1String(SearchEngine::ServiceServerName));
    ::kill(pid_t(service.pid()), SIGTERM);
    EXPECT_TRUE(service.endsCleanly());
    holder.release();

    QFile kept(QString::fromLocal8Bit(canary));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("x")) << "nothing was followed to the file and emptied";
    for (const QString& name : fixedNames()) {
        struct stat st = {};
        EXPECT_EQ(::lstat(QFile::encodeName(publicTemp + '/' + name).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, OtherUser::kUid) << name.toStdString() << " was left as planted";
    }
}

// Without a runtime folder of its own, a TMPDIR another user could change is
// refused before anything is made there: a folder everyone may write (as /tmp
// is), whatever they planted under the lock's name, and a folder of the
// service's own inside one of theirs (they could move it away and leave a
// link in its place after the check).
TEST_F(ServiceAttack, TemporaryFoldersAnotherUserCanChangeAreRefusedAndNothingIsMadeThere)
{
    qunsetenv("RUNTIME_DIRECTORY");
    const QByteArray temp = QFile::encodeName(publicTemp);
    const QByteArray lock = temp + '/' + ZService::kInstanceMutexName;
    const QByteArray target = temp + "/planted-target";
    const QByteArray theirs = temp + "/theirs", own = theirs + "/rt";
    const struct {
        const char* what;
        std::function<int()> plant;   // as the other user; 0 when done
        QByteArray tmpdir;
        QByteArray refusal;
    } cases[] = {
        {"a file at the lock's name",
         [&] {
             const int fd = ::open(lock.constData(), O_CREAT | O_EXCL | O_WRONLY, 0644);
             return fd >= 0 && ::close(fd) == 0 ? 0 : 1;
         },
         temp, "searchservice: runtime folder " + temp + " "},
        {"a link at it", [&] { return ::symlink(target.constData(), lock.constData()) == 0 ? 0 : 1; }, temp,
         "searchservice: runtime folder " + temp + " "},
        {"a folder at it", [&] { return ::mkdir(lock.constData(), 0755) == 0 ? 0 : 1; }, temp,
         "searchservice: runtime folder " + temp + " "},
        {"its own folder in theirs", [&] { return ::mkdir(theirs.constData(), 0755) == 0 ? 0 : 1; }, own,
         "runtime folder " + own + " lies in " + theirs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearFixedNames();
        ::unlink(target.constData());
        QDir(QFile::decodeName(theirs)).removeRecursively();
        clearStartSettings();
        ASSERT_EQ(OtherUser::runAs(c.plant), 0);
        if (c.tmpdir == own) {
            ASSERT_EQ(::mkdir(own.constData(), 0755), 0);
        }
        qputenv("TMPDIR", c.tmpdir);
        ZServiceProcess service;
        ASSERT_TRUE(service.start());
        EXPECT_TRUE(service.ends()) << "the service ran";
        EXPECT_EQ(service.process.exitCode(), ZService::kStartFailedExitCode) << "a failure, not an orderly end";
        const QByteArray err = service.process.readAllStandardError();
        EXPECT_TRUE(err.contains(c.refusal)) << err.constData();
        const QByteArray log = service.log();
        EXPECT_TRUE(log.contains("ERROR|")) << log.constData();
        EXPECT_FALSE(log.contains("start server failed")) << "it went no further";
        EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(target))) << "nothing was made through the link";
        EXPECT_FALSE(QFileInfo::exists(publicTemp + QStringLiteral("/SearchEngine-keys-0"))) << "no key folder was made";
    }
    clearFixedNames();
    QDir(QFile::decodeName(theirs)).removeRecursively();
}

// Another user listening on the service's name in a shared temporary folder
// (the service not running) is refused before anything it says is believed.
TEST_F(ServiceAttack, AnImpostorOnTheServiceNameIsRefusedByTheTool)
{
    qunsetenv("RUNTIME_DIRECTORY");
    const QByteArray path = QFile::encodeName(publicTemp + QLatin1Char('/') + QLatin1String(ZService::kServerName));
    ::unlink(path.constData());
    // Every client hears a forged drive, until the test is over.
    FakeServer impostor(ZHeldChild::As::OtherUser, path, "1\tbogus\t67\t1\t0<<2<<", true);
    ASSERT_TRUE(impostor.listening());
    for (const QStringList& args : {QStringList{QStringLiteral("search"), QStringLiteral("x")},
                                    QStringList{QStringLiteral("--watch")}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Ran tool = runServing(builtProgram("searchclient"), args, kAttackTimeoutMs);
        EXPECT_EQ(tool.code, 1);
        EXPECT_TRUE(tool.out.isEmpty()) << tool.out.constData();
        EXPECT_TRUE(tool.err.contains("not trusted")) << tool.err.constData();
    }
}
