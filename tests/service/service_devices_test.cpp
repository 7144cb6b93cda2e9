// Lost drives and device-change messages: a drive whose journal monitor
// gave up with 21 is dropped a second later, 87 ends the service a second
// later, other reasons are only passed on, and WM_DEVICECHANGE messages are
// logged without any effect.
#include "support/ZServiceTestKit.h"

#include "win32/win32_devicechange.h"

#include <gtest/gtest.h>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

class DeviceChanges : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(enableDebugLog()); }
    void SetUp() override
    {
        app();
        clearStartSettings();
    }
};

std::vector<ushort> lettersOf(const ZService& service)
{
    std::vector<ushort> out;
    for (auto* v : service.volumeList())
        out.push_back(v->drive());
    return out;
}

} // namespace

TEST_F(DeviceChanges, LostDriveIsToldThenDroppedAfterASecondOtherReasonsOnlyTold)
{
    ServiceUnderTest s(u"CE");
    ASSERT_TRUE(s.started);
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

    EXPECT_FALSE(quitsWithin(1300));
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

TEST_F(DeviceChanges, DeviceChangeMessagesAreLoggedOnly)
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
        {DBT_DEVICEQUERYREMOVE, &volume, ""},
        {DBT_DEVICEQUERYREMOVEFAILED, &volume, ""},
        {DBT_DEVICEREMOVEPENDING, &volume, ""},
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
    EXPECT_TRUE(logSince(before).contains(QByteArray("connection error occurred: ")
                                          + QByteArray::number(int(QLocalSocket::PeerClosedError))));
}
