// The service in process with fake volumes: the restart policy over the
// clock seam and the single-instance guard, the state a new client is told,
// the relay of every volume signal, lost drives, the quit when the last
// client leaves, the cut of a client that stops reading, a server closed for
// want of descriptors, and device-change messages.
#include "support/ZServiceTestKit.h"

#include "frame/ZLog.h"
#include "service/ZClientProtocol.h"
#include "win32/ZClock.h"
#include "win32/win32_devicechange.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

class ServiceConnections : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(enableDebugLog()); }
    void SetUp() override
    {
        app();
        clearStartSettings();
    }
};

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

class ServiceStart : public ServiceConnections {
protected:
    void SetUp() override
    {
        ServiceConnections::SetUp();
        Platform::setClock(&clock);
    }
    void TearDown() override { Platform::setClock(nullptr); }

    Platform::ZManualClock clock;
};

std::vector<ushort> lettersOf(const ZService& service)
{
    std::vector<ushort> out;
    for (auto* v : service.volumeList())
        out.push_back(v->drive());
    return out;
}

} // namespace

// Starts at given seconds after t0 from a stored time and count (none when
// the time is null), each leaving the count given, 0 for a refused start,
// which writes nothing; then the window is open from the time given.
TEST_F(ServiceStart, FiveStartsInsideFiveMinutesAtMostAndStoredTimesOddOrLeftByAnOrderlyExit)
{
    const QDateTime t0 = clock.now();
    const struct {
        const char* what;
        QString storedTime;
        int storedCount;
        std::vector<std::pair<int, int>> starts;   // seconds after t0, count left
        QDateTime windowOpen;
    } cases[] = {
        {"none stored: exactly 300 s is still inside", QString(), 0,
         {{0, 1}, {60, 2}, {120, 3}, {300, 4}, {300, 0}, {301, 1}}, t0.addSecs(301)},
        {"in the future: starts stay inside", t0.addDays(2).toString(kTimeFormat), 3, {{0, 4}, {60, 0}},
         t0.addDays(2)},
        {"an orderly exit's count is not held against later starts", t0.toString(kTimeFormat), 1,
         {{0, 2}, {60, 3}, {120, 4}}, t0},
        {"unreadable: a new window opens", QStringLiteral("not a time"), 4, {{0, 1}}, t0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearStartSettings();
        if (!c.storedTime.isNull()) {
            settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), c.storedTime);
            settingsSetValue(QStringLiteral("SearchServiceInitTimes"), c.storedCount);
        }
        for (const auto& [at, count] : c.starts) {
            const int before = initTimes();
            clock.setNow(t0.addSecs(at));
            // Taken down at once without an orderly exit, as a crash would leave the count.
            EXPECT_EQ(ServiceUnderTest(u"C").started, count != 0) << "start at " << at << " s";
            EXPECT_EQ(initTimes(), count ? count : before) << "start at " << at << " s";
        }
        const QString opened = settingsValue(QStringLiteral("SearchServiceLastInitTime")).toString();
        EXPECT_EQ(QDateTime::fromString(opened, kTimeFormat), c.windowOpen);
    }
}

// Drives end their start in the order given ('+' ready, '-' failed, '?' its
// thread has set its flag but the signal is still queued). A client connected
// before hears each ready drive as it ends, with the signal's values
// (pieceCount before modifyMask); failed drives are dropped and never
// announced; all-ready goes out once, after the last drive whichever way it
// ended. A client connecting later, or while a signal is queued, hears the
// ready drives in drive order and what came after.
TEST_F(ServiceConnections, ClientsHearReadyDrivesThenAllReadyAfterTheLastDriveEndsEitherWay)
{
    const struct {
        const char16_t* drives;
        const char* ends;
        const char* earlyHears;
        const char* lateHears;
    } cases[] = {
        {u"DC", "D+C+", "DC", "CD"},
        {u"CD", "C+D-", "C", "C"},
        {u"CDE", "C+E-D+", "CD", "CD"},
        {u"CD", "C-D-", "", ""},
        {u"CD", "C+D?D-", "C", "C"},
    };
    // An early client hears the signal's values (a drive's letter and its
    // place in the alphabet); a late one what the volume holds.
    const auto heard = [](TestClient& client, const char* drives, ServiceUnderTest& s, bool early) {
        const size_t n = strlen(drives);
        ASSERT_TRUE(client.waitForMessages(n + 1));
        spinFor(50);
        ASSERT_EQ(client.messages.size(), n + 1);
        for (size_t i = 0; i < n; ++i) {
            const ZClientMessage& m = client.messages[i];
            const FakeVolume* v = s.volume(char16_t(drives[i]));
            EXPECT_EQ(m.type, 1);
            EXPECT_EQ(m.drive, drives[i]);
            EXPECT_EQ(m.pieceCount, early ? drives[i] - 'A' : v->pieceCount());
            EXPECT_EQ(m.modifyMask, early ? DWORD(drives[i]) : v->modifyCounter());
            EXPECT_EQ(m.poolName, v->poolName());
        }
        EXPECT_EQ(client.messages[n].type, 2);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ends);
        clearStartSettings();   // five starts would meet the restart policy
        ServiceUnderTest s(c.drives);
        ASSERT_TRUE(s.started);
        TestClient early, queued;
        ASSERT_TRUE(early.connectTo(s.service));
        for (const char* e = c.ends; *e; e += 2) {
            if (e[1] == '+')
                s.volume(char16_t(e[0]))->announce(DWORD(e[0]), DWORD(e[0] - 'A'));
            else if (e[1] == '-')
                s.volume(char16_t(e[0]))->fail();
            else {
                s.volume(char16_t(e[0]))->initDoneFlag = true;
                ASSERT_TRUE(queued.connectTo(s.service));
                spinFor(50);
                EXPECT_FALSE(queued.hasAllReady()) << "all-ready while a drive's signal is queued";
            }
        }
        heard(early, c.earlyHears, s, true);
        if (strchr(c.ends, '?'))
            heard(queued, c.lateHears, s, false);
        EXPECT_EQ(size_t(s.service.volumeList().size()), strlen(c.earlyHears));
        TestClient late;
        ASSERT_TRUE(late.connectTo(s.service));
        heard(late, c.lateHears, s, false);
        // The dropped volume objects are released once their threads ended.
        EXPECT_TRUE(spinUntil([&] {
            for (const char* e = c.ends; *e; e += 2)
                if (e[1] == '-' && s.volume(char16_t(e[0])))
                    return false;
            return true;
        }));
    }
}

// One of six clients leaves just before the signals: the first write to it
// fails and drops it in the middle of a broadcast, which still reaches each
// of the others once, wherever the one that left stood in the list.
TEST_F(ServiceConnections, EveryVolumeSignalIsRelayedOnceToEveryClientThatStays)
{
    constexpr int kClients = 6;
    for (int leaving = 0; leaving < kClients; ++leaving) {
        SCOPED_TRACE(leaving);
        clearStartSettings();   // six starts would meet the restart policy
        ServiceUnderTest s(u"C");
        ASSERT_TRUE(s.started);
        s.volume('C')->announce();
        TestClient clients[kClients];
        for (TestClient& t : clients) {
            ASSERT_TRUE(t.connectTo(s.service));
            ASSERT_TRUE(t.waitForMessages(2));
        }
        clients[leaving].socket.abort();

        auto* v = s.volume('C');
        const ULONGLONG ref = 0x0043000100000004ull;
        emit v->pieceAppended(67, 2);
        emit v->itemRemoved(ref, 11);
        emit v->itemChanged(ref, ref + 1, 12);
        emit v->itemAppended(ref + 2, 13);
        emit v->itemNameChanged(ref + 2, ref + 3, 14);
        EXPECT_EQ(s.service.clientList().size(), kClients - 1);
        for (int i = 0; i < kClients; ++i) {
            if (i == leaving)
                continue;
            TestClient& t = clients[i];
            ASSERT_TRUE(t.waitForMessages(7));
            spinFor(20);
            ASSERT_EQ(t.types(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7})) << "client " << i;
            const auto& m = t.messages;
            EXPECT_EQ(m[2].drive, 67);
            EXPECT_EQ(m[2].pieceSize, 2u);
            EXPECT_EQ(m[3].itemRef, ref);
            EXPECT_EQ(m[3].modifyMask, 11u);
            EXPECT_EQ(m[4].newItemRef, ref + 1);
            EXPECT_EQ(m[5].itemRef, ref + 2);
            EXPECT_EQ(m[6].newItemRef, ref + 3);
            EXPECT_EQ(m[6].modifyMask, 14u);
        }
    }
}

// With no descriptor left, accepting a client fails and Qt closes the server,
// removing its socket file. The service listens again once descriptors are
// free, and ends with an error (which the restart policy counts) when not.
TEST_F(ServiceConnections, ServerClosedByAFailedAcceptListensAgainOrTheServiceEndsWithAnError)
{
    // Every descriptor below this soft limit gets taken; the service's own,
    // made while they are, lie above it and are no use once closed.
    constexpr rlim_t kLimit = 64;
    struct TakenDescriptors {
        rlimit saved = {};
        std::vector<int> fds;
        TakenDescriptors() { getrlimit(RLIMIT_NOFILE, &saved); }
        ~TakenDescriptors() { release(); }
        bool setSoftLimit(rlim_t soft)
        {
            const rlimit limit = {soft, saved.rlim_max};
            return setrlimit(RLIMIT_NOFILE, &limit) == 0;
        }
        // True when every descriptor below the new soft limit is taken.
        bool takeAllBelow(rlim_t soft)
        {
            if (!setSoftLimit(soft))
                return false;
            for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
                fds.push_back(fd);
            return errno == EMFILE;
        }
        void release()
        {
            std::for_each(fds.begin(), fds.end(), ::close);
            fds.clear();
            setrlimit(RLIMIT_NOFILE, &saved);
        }
    } taken;
    ASSERT_GT(taken.saved.rlim_max, 2 * kLimit);
    for (const bool descriptorsReturn : {true, false}) {
        SCOPED_TRACE(descriptorsReturn ? "descriptors free again" : "none free");
        ASSERT_TRUE(taken.takeAllBelow(kLimit));
        ASSERT_TRUE(taken.setSoftLimit(2 * kLimit));
        ServiceUnderTest s(u"C");
        ASSERT_TRUE(s.started);
        rlimit raised = {};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
        EXPECT_EQ(raised.rlim_cur, raised.rlim_max) << "the start raises the soft limit";
        s.volume('C')->announce();
        // Its thread needs descriptors of its own to start.
        ASSERT_TRUE(s.volume('C')->wait(5000));
        ASSERT_TRUE(logInit());
        const qint64 logBefore = logSize();

        TestClient early;   // connected, not yet accepted
        ASSERT_TRUE(early.connectByName());
        ASSERT_TRUE(taken.takeAllBelow(kLimit));
        const bool closed = spinUntil([] { return !QFile::exists(socketPath()); });
        if (descriptorsReturn) {
            ASSERT_TRUE(taken.setSoftLimit(raised.rlim_max));
            EXPECT_TRUE(closed);
            EXPECT_TRUE(spinUntil([] { return QFile::exists(socketPath()); }, 10000));
            TestClient late;
            EXPECT_TRUE(late.connectTo(s.service));
            EXPECT_TRUE(late.waitForMessages(2));
        } else {
            QEventLoop loop;   // the service's exit ends it with the exit code
            QTimer::singleShot(10000, &loop, [&] { loop.exit(99); });
            const int code = loop.exec();
            taken.release();
            EXPECT_TRUE(closed);
            EXPECT_EQ(code, ZService::kListenLostExitCode);
            const QByteArray log = logSince(logBefore);
            EXPECT_TRUE(log.contains("ERROR|") && log.contains("cannot listen again")) << log.constData();
        }
        taken.release();
    }
}

// A second instance is refused, before it makes any volume. The socket file
// removed while the first runs: it listens again, so clients still find it.
TEST_F(ServiceConnections, SecondInstanceIsRefusedAndARemovedSocketFileIsMadeAgain)
{
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    {
        ZService second;
        EXPECT_FALSE(second.start());
        EXPECT_TRUE(second.volumeList().empty());
        second.stop();
        CloseHandle(second.instanceMutexHandle());
    }
    ASSERT_TRUE(QFile::remove(socketPath()));
    EXPECT_TRUE(spinUntil([] { return QFile::exists(socketPath()); }, 10000));
    TestClient late;
    EXPECT_TRUE(late.connectTo(s.service));
    EXPECT_TRUE(late.waitForMessages(2));
}

// Name changes of about `bytes` on the wire from volume v, in bursts
// between which readers drain their sockets; the number of messages sent.
template <typename Volume>
size_t sendNameChanges(Volume* v, qint64 bytes)
{
    const qint64 wireSize = SearchEngine::buildItemPair(7, 0, 0, 0).size();
    const int total = int(bytes / wireSize);
    constexpr int kBurst = 2000;
    int sent = 0;
    for (; sent < total; sent += kBurst) {
        for (int i = 0; i < kBurst; ++i)
            emit v->itemNameChanged(ULONGLONG(sent + i), ULONGLONG(sent + i + 1), DWORD(sent + i));
        spinFor(5);
    }
    return size_t(sent);
}

// Clients that stop reading are cut off, alone once one holds more than its
// own bound, together once those of one user hold more than their user's
// though each holds less than its own; the one that reads carries on and
// gets everything. The service quits only when the last client has left.
TEST_F(ServiceConnections, ClientsThatStopReadingAreCutOffAndTheLastToLeaveEndsTheService)
{
    const struct {
        const char* what;
        int silentClients;
        qint64 bytes;
    } cases[] = {
        {"one past its own bound", 1, 2 * ZService::kMaxClientBacklogBytes},
        {"six each left about 3 MiB", 6, ZService::kMaxClientBacklogBytes * 7 / 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearStartSettings();
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);
        ServiceUnderTest s(u"C");
        ASSERT_TRUE(s.started);
        EXPECT_EQ(initTimes(), 4);
        s.volume('C')->announce();
        TestClient reader;
        ASSERT_TRUE(reader.connectTo(s.service));
        std::vector<std::unique_ptr<QLocalSocket>> silent;   // each takes one byte, leaving the rest in the kernel
        for (int i = 0; i < c.silentClients; ++i) {
            silent.emplace_back(new QLocalSocket);
            silent.back()->setReadBufferSize(1);
            silent.back()->connectToServer(SearchEngine::ZServiceLocation::socketPath());
            ASSERT_TRUE(silent.back()->waitForConnected(2000));
        }
        ASSERT_TRUE(spinUntil([&] { return s.service.clientList().size() == c.silentClients + 1; }));

        const qint64 logBefore = logSize();
        const size_t sent = sendNameChanges(s.volume('C'), c.bytes);
        EXPECT_LT(s.service.clientList().size(), c.silentClients + 1);
        EXPECT_TRUE(logSince(logBefore).contains("client disconnected: it stopped reading and "));
        ASSERT_TRUE(reader.waitForMessages(2 + sent, 10000));
        EXPECT_EQ(reader.decoder.malformedCount(), 0);
        EXPECT_EQ(reader.messages.back().type, 7);
        silent.clear();
        EXPECT_FALSE(quitsWithin(300)) << "one client is still there";
        EXPECT_EQ(initTimes(), 4);

        reader.socket.disconnectFromServer();
        EXPECT_TRUE(quitsWithin(2000));
        EXPECT_TRUE(s.service.clientList().isEmpty());
        EXPECT_EQ(initTimes(), 1) << "an orderly exit";
    }
}

// A drive whose journal monitor gave up with 21 is told and dropped a second
// later, other reasons are only told; 87 is told and ends the service a
// second later, without an orderly exit and without dropping the drive.
// The second passes on the test's clock.
TEST_F(ServiceStart, LostDriveIsDroppedAfterASecondOtherReasonsOnlyToldAndParameterErrorEndsTheService)
{
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 2);   // an orderly exit would leave 1
    ServiceUnderTest s(u"CE");
    ASSERT_TRUE(s.started);
    const int countAfterStart = initTimes();
    s.volume('C')->announce();
    s.volume('E')->announce();
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    ASSERT_TRUE(client.waitForMessages(3));

    emit s.volume('E')->listenFailed(ERROR_NOT_READY);
    emit s.volume('C')->listenFailed(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(client.waitForMessages(5));
    EXPECT_EQ(client.types(), (std::vector<int>{1, 1, 2, 8, 8}));
    EXPECT_EQ(client.messages[3].reason, 21u);
    EXPECT_EQ(client.messages[3].drive, 69);
    EXPECT_EQ(client.messages[4].reason, 5u);
    EXPECT_EQ(client.messages[4].drive, 'C');

    // During the second the drive still counts for a new client.
    EXPECT_EQ(lettersOf(s.service), (std::vector<ushort>{'C', 'E'}));
    TestClient during;
    ASSERT_TRUE(during.connectTo(s.service));
    ASSERT_TRUE(during.waitForMessages(3));

    EXPECT_FALSE(quitsWithin(200));
    EXPECT_EQ(lettersOf(s.service), (std::vector<ushort>{'C', 'E'})) << "the second has not passed";
    clock.advance(ZService::kListenFailedDelayMs);
    EXPECT_TRUE(spinUntil([&] { return lettersOf(s.service) == std::vector<ushort>{'C'}; }));
    EXPECT_TRUE(spinUntil([&] { return !s.volume('E'); })) << "the lost volume's object is released";

    // The service carries on: a new client hears of C: and all-ready.
    TestClient after;
    ASSERT_TRUE(after.connectTo(s.service));
    ASSERT_TRUE(after.waitForMessages(2));
    spinFor(50);
    EXPECT_EQ(after.types(), (std::vector<int>{1, 2}));
    EXPECT_EQ(after.messages[0].drive, 'C');

    emit s.volume('C')->listenFailed(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(quitsWithin(200)) << "not before the second has passed";
    clock.advance(ZService::kListenFailedDelayMs);
    EXPECT_TRUE(quitsWithin(3000, ZService::kJournalFailedExitCode)) << "a failure, which systemd restarts";
    ASSERT_TRUE(client.waitForMessages(6));
    EXPECT_EQ(client.messages[5].type, 8);
    EXPECT_EQ(client.messages[5].reason, 87u);
    EXPECT_EQ(client.messages[5].drive, 'C');
    EXPECT_EQ(initTimes(), countAfterStart) << "not an orderly exit";
    EXPECT_EQ(lettersOf(s.service), (std::vector<ushort>{'C'}));
}

TEST_F(ServiceConnections, DeviceChangeMessagesAreLoggedOnly)
{
    ZService service;
    const DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    const DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    // What the filter logged for one message, without the line's prefix;
    // only this file's lines: other processes of this program may share the log.
    auto logged = [&](const char* type, UINT message, WPARAM event, const DEV_BROADCAST_HDR* header) {
        MSG msg{};
        msg.message = message;
        msg.wParam = event;
        msg.lParam = reinterpret_cast<LPARAM>(header);
        long result = 0;
        const qint64 before = logSize();
        EXPECT_FALSE(service.nativeEventFilter(QByteArray(type), &msg, &result));
        QList<QByteArray> lines;
        for (const QByteArray& line : logSince(before).split('\n'))
            if (line.contains("|ZSearchEngineServiceDevices.cpp:"))
                lines.append(line.mid(line.indexOf("] ") + 2).trimmed());
        return lines.join('\n');
    };
    const struct {
        WPARAM event;
        const DEV_BROADCAST_HDR* header;
        QByteArray line;
    } cases[] = {
        {DBT_DEVNODES_CHANGED, nullptr, "DBT_DEVNODES_CHANGED"},
        {DBT_DEVICEARRIVAL, &volume, "DBT_DEVICEARRIVAL"},
        {DBT_DEVICEREMOVECOMPLETE, &volume, "DBT_DEVICEREMOVECOMPLETE"},
        {DBT_DEVICEARRIVAL, &port, ""},   // not a volume
        {DBT_DEVICEREMOVECOMPLETE, &port, ""},
        {DBT_DEVICEARRIVAL, nullptr, ""},   // no header to read
        {DBT_DEVICEQUERYREMOVE, &volume, ""},   // as the other removal queries
        {DBT_CUSTOMEVENT, &volume, "DBT_CUSTOMEVENT"},
        {DBT_CUSTOMEVENT, &port, ""},
        {0x0018, nullptr, "DBT_WPARAM"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(logged("windows_generic_MSG", WM_DEVICECHANGE, c.event, c.header), c.line) << c.event;

    // Other messages and other event types are passed on untouched.
    EXPECT_EQ(logged("windows_generic_MSG", 0x0010, DBT_DEVICEARRIVAL, &volume), "");
    EXPECT_EQ(logged("windows_dispatcher_MSG", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr), "DBT_DEVNODES_CHANGED");
    EXPECT_EQ(logged("xcb_generic_event_t", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr), "");
    EXPECT_TRUE(service.volumeList().empty());
}
