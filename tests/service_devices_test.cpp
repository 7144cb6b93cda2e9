// Lost drives and device-change messages: a drive whose journal monitor
// gave up with 21 is dropped a second later, 87 ends the service a second
// later, and WM_DEVICECHANGE messages are logged without any effect.
#include "support/ZServiceTestKit.h"

#include "platform/win32_devicechange.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTimer>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

// DEBUG lines are written only with the machine's LogLevel at 0; set it in
// this process's private registry before the first log statement.
void enableDebugLog()
{
    QString dirs = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_DIRS"));
    const QString first = dirs.split(QLatin1Char(':')).value(0);
    QDir().mkpath(first + QStringLiteral("/orvanta"));
    QFile ini(first + QStringLiteral("/orvanta/registry.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[software/orvanta/antivirus/sysopt]\nLogLevel=0\n");
}

class DeviceChanges : public ::testing::Test {
protected:
    static void SetUpTestSuite() { enableDebugLog(); }
    void SetUp() override
    {
        app();
        clearStartSettings();
    }
};

bool quitsWithin(int ms)
{
    bool timedOut = false;
    QTimer::singleShot(ms, [&] {
        timedOut = true;
        QCoreApplication::exit(99);
    });
    return QCoreApplication::exec() == 0 && !timedOut;
}

std::vector<ushort> lettersOf(const ZService& service)
{
    std::vector<ushort> out;
    for (auto* v : service.volumeList())
        out.push_back(v->drive());
    return out;
}

} // namespace

TEST_F(DeviceChanges, LostDriveIsToldThenDroppedAfterASecond)
{
    ServiceUnderTest s(u"CE");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    s.volume('E')->announce();
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    ASSERT_TRUE(client.waitForMessages(3));

    emit s.volume('E')->listenFailed(ERROR_NOT_READY);
    ASSERT_TRUE(client.waitForMessages(4));
    EXPECT_EQ(client.messages[3].type, 8);
    EXPECT_EQ(client.messages[3].reason, 21u);
    EXPECT_EQ(client.messages[3].drive, 69);

    // During the second the drive still counts for a new client.
    EXPECT_EQ(lettersOf(s.service), (std::vector<ushort>{'C', 'E'}));
    TestClient during;
    ASSERT_TRUE(during.connectTo(s.service));
    ASSERT_TRUE(during.waitForMessages(3));

    EXPECT_TRUE(spinUntil([&] { return s.service.volumeList().size() == 1; }, 2500));
    EXPECT_EQ(lettersOf(s.service), (std::vector<ushort>{'C'}));
    EXPECT_TRUE(spinUntil([&] { return !s.volume('E'); })) << "the lost volume's object is released";

    // The service carries on: a new client hears of C: and all-ready.
    TestClient after;
    ASSERT_TRUE(after.connectTo(s.service));
    ASSERT_TRUE(after.waitForMessages(2));
    spinFor(50);
    EXPECT_EQ(after.types(), (std::vector<int>{1, 2}));
    EXPECT_EQ(after.messages[0].drive, 'C');
}

TEST_F(DeviceChanges, JournalParameterErrorEndsTheServiceASecondLater)
{
    ServiceUnderTest s(u"CD");
    ASSERT_TRUE(s.started);
    const int countAfterStart = initTimes();
    s.volume('C')->announce();
    s.volume('D')->announce();
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    ASSERT_TRUE(client.waitForMessages(3));

    emit s.volume('D')->listenFailed(ERROR_INVALID_PARAMETER);
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(quitsWithin(3000));
    EXPECT_GE(t.elapsed(), 900);
    ASSERT_TRUE(client.waitForMessages(4));
    EXPECT_EQ(client.messages[3].type, 8);
    EXPECT_EQ(client.messages[3].reason, 87u);
    EXPECT_EQ(client.messages[3].drive, 'D');
    EXPECT_EQ(initTimes(), countAfterStart) << "not an orderly exit";
    EXPECT_EQ(s.service.volumeList().size(), 2u);
}

TEST_F(DeviceChanges, OtherReasonsAreOnlyBroadcast)
{
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    emit s.volume('C')->listenFailed(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(client.waitForMessages(3));
    EXPECT_EQ(client.messages[2].reason, 5u);
    EXPECT_FALSE(quitsWithin(1300));
    EXPECT_EQ(s.service.volumeList().size(), 1u);
}

TEST_F(DeviceChanges, DeviceChangeMessagesAreLoggedOnly)
{
    ZService service;
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    auto send = [&](const char* type, UINT message, WPARAM event, const DEV_BROADCAST_HDR* header) {
        MSG msg{};
        msg.message = message;
        msg.wParam = event;
        msg.lParam = reinterpret_cast<LPARAM>(header);
        long result = 0;
        const qint64 before = logSize();
        EXPECT_FALSE(service.nativeEventFilter(QByteArray(type), &msg, &result));
        // Only this file's lines: other processes of this program may share the log.
        QList<QByteArray> lines;
        for (const QByteArray& line : logSince(before).split('\n'))
            if (line.contains("|ZDeviceChanges.cpp:"))
                lines.append(line.trimmed());
        return lines;
    };
    auto logged = [&](WPARAM event, const DEV_BROADCAST_HDR* header) -> QByteArray {
        const auto lines = send("windows_generic_MSG", WM_DEVICECHANGE, event, header);
        if (lines.size() > 1)
            ADD_FAILURE() << "more than one line for event " << event;
        if (lines.isEmpty())
            return QByteArray();
        const QByteArray& line = lines.first();
        return line.mid(line.indexOf("] ") + 2);
    };

    EXPECT_EQ(logged(DBT_DEVNODES_CHANGED, nullptr), "DBT_DEVNODES_CHANGED");
    EXPECT_EQ(logged(DBT_DEVICEARRIVAL, &volume), "DBT_DEVICEARRIVAL");
    EXPECT_EQ(logged(DBT_DEVICEREMOVECOMPLETE, &volume), "DBT_DEVICEREMOVECOMPLETE");
    EXPECT_EQ(logged(DBT_DEVICEARRIVAL, &port), "") << "not a volume";
    EXPECT_EQ(logged(DBT_DEVICEREMOVECOMPLETE, &port), "");
    EXPECT_EQ(logged(DBT_DEVICEARRIVAL, nullptr), "") << "no header to read";
    EXPECT_EQ(logged(DBT_DEVICEQUERYREMOVE, &volume), "");
    EXPECT_EQ(logged(DBT_DEVICEQUERYREMOVEFAILED, &volume), "");
    EXPECT_EQ(logged(DBT_DEVICEREMOVEPENDING, &volume), "");
    EXPECT_EQ(logged(DBT_CUSTOMEVENT, &volume), "DBT_CUSTOMEVENT");
    EXPECT_EQ(logged(DBT_CUSTOMEVENT, &port), "");
    EXPECT_EQ(logged(0x0018, nullptr), "DBT_WPARAM");

    // Other messages and other event types are passed on untouched.
    EXPECT_TRUE(send("windows_generic_MSG", 0x0010, DBT_DEVICEARRIVAL, &volume).isEmpty());
    EXPECT_TRUE(send("windows_dispatcher_MSG", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr).size() == 1);
    EXPECT_TRUE(send("xcb_generic_event_t", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr).isEmpty());
    EXPECT_TRUE(service.volumeList().empty());
}

TEST_F(DeviceChanges, SocketErrorIsLoggedAndTheClientStaysUntilDisconnected)
{
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    TestClient a, b;
    ASSERT_TRUE(a.connectTo(s.service));
    ASSERT_TRUE(b.connectTo(s.service));
    const qint64 before = logSize();
    a.socket.abort();
    ASSERT_TRUE(spinUntil([&] { return s.service.clientList().size() == 1; }));
    spinFor(50);
    const QByteArray log = logSince(before);
    EXPECT_TRUE(log.contains(QByteArray("connection error occurred: ")
                             + QByteArray::number(int(QLocalSocket::PeerClosedError))))
        << log.constData();
}
