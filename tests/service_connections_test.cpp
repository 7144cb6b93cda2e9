// Client connections in process: the state a new client is told, the relay
// of every volume signal, the quit when the last client leaves, and the cut
// of a client that stops reading.
#include "support/ZServiceTestKit.h"

#include "service/ZClientProtocol.h"

#include <gtest/gtest.h>


using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

class ServiceConnections : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        clearStartSettings();
    }
};

} // namespace

TEST_F(ServiceConnections, ClientsHearReadyDrivesInDriveOrderThenAllReady)
{
    ServiceUnderTest s(u"DC");
    ASSERT_TRUE(s.started);
    s.volume('D')->announce(3, 2);
    TestClient early;
    ASSERT_TRUE(early.connectTo(s.service));
    ASSERT_TRUE(early.waitForMessages(1));
    spinFor(50);
    ASSERT_EQ(early.types(), (std::vector<int>{1}));
    // The broadcast carries the signal's values, pieceCount before modifyMask.
    s.volume('C')->announce(5, 1);
    ASSERT_TRUE(early.waitForMessages(3));
    ASSERT_EQ(early.types(), (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(early.messages[1].drive, 'C');
    EXPECT_EQ(early.messages[1].pieceCount, 1);
    EXPECT_EQ(early.messages[1].modifyMask, 5u);

    TestClient late;
    ASSERT_TRUE(late.connectTo(s.service));
    ASSERT_TRUE(late.waitForMessages(3));
    spinFor(50);
    ASSERT_EQ(late.types(), (std::vector<int>{1, 1, 2}));
    for (int i = 0; i < 2; ++i) {
        const auto* v = s.volume(i ? 'D' : 'C');
        EXPECT_EQ(late.messages[i].drive, v->drive());
        EXPECT_EQ(late.messages[i].poolName, v->poolName());
        EXPECT_EQ(late.messages[i].pieceCount, v->pieceCount());
        EXPECT_EQ(late.messages[i].modifyMask, v->modifyCounter());
    }
}

// Drives end their start in the order given ('+' ready, '-' failed): failed
// drives are dropped and never announced, and all-ready goes out once, after
// the last drive whichever way it ended.
TEST_F(ServiceConnections, AllReadyFollowsTheLastDriveWhetherItSucceedsOrFails)
{
    const struct {
        const char16_t* drives;
        const char* ends;
        std::vector<int> heard;
    } cases[] = {
        {u"CD", "C+D-", {1, 2}},
        {u"CDE", "C+E-D+", {1, 1, 2}},
        {u"CD", "C-D-", {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ends);
        ServiceUnderTest s(c.drives);
        ASSERT_TRUE(s.started);
        TestClient early;
        ASSERT_TRUE(early.connectTo(s.service));
        size_t ready = 0;
        for (const char* e = c.ends; *e; e += 2) {
            if (e[1] == '+')
                s.volume(char16_t(e[0]))->announce(), ++ready;
            else
                s.volume(char16_t(e[0]))->fail();
        }
        ASSERT_TRUE(early.waitForMessages(c.heard.size()));
        spinFor(50);
        EXPECT_EQ(early.types(), c.heard);
        EXPECT_EQ(size_t(s.service.volumeList().size()), ready);
        TestClient late;
        ASSERT_TRUE(late.connectTo(s.service));
        ASSERT_TRUE(late.waitForMessages(c.heard.size()));
        spinFor(50);
        EXPECT_EQ(late.types(), c.heard);
        // The dropped volume objects are released once their threads ended.
        EXPECT_TRUE(spinUntil([&] {
            for (const char* e = c.ends; *e; e += 2)
                if (e[1] == '-' && s.volume(char16_t(e[0])))
                    return false;
            return true;
        }));
    }
}

TEST_F(ServiceConnections, DriveWhoseAnnouncementIsStillQueuedIsNotReportedReady)
{
    ServiceUnderTest s(u"CD");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    // D's thread has set its flag (success or failure) but its signal has
    // not been delivered yet.
    s.volume('D')->initDoneFlag = true;
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    ASSERT_TRUE(client.waitForMessages(1));
    spinFor(50);
    EXPECT_EQ(client.types(), (std::vector<int>{1}));
    EXPECT_EQ(client.messages[0].drive, 'C');
    s.volume('D')->fail();
    ASSERT_TRUE(client.waitForMessages(2));
    spinFor(50);
    EXPECT_EQ(client.types(), (std::vector<int>{1, 2})) << "the failed drive is never announced";
}

TEST_F(ServiceConnections, EveryVolumeSignalIsRelayedToEveryClientWhateverTheyWrite)
{
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    s.volume('C')->announce();
    TestClient a, b;
    ASSERT_TRUE(a.connectTo(s.service));
    ASSERT_TRUE(b.connectTo(s.service));
    ASSERT_TRUE(a.waitForMessages(2));
    ASSERT_TRUE(b.waitForMessages(2));
    a.socket.write("hello<<AAAA");   // what a client writes is ignored
    a.socket.flush();

    auto* v = s.volume('C');
    const ULONGLONG ref = 0x0043000100000004ull;
    emit v->pieceAppended(67, 2);
    emit v->itemRemoved(ref, 11);
    emit v->itemChanged(ref, ref + 1, 12);
    emit v->itemAppended(ref + 2, 13);
    emit v->itemNameChanged(ref + 2, ref + 3, 14);
    for (TestClient* c : {&a, &b}) {
        ASSERT_TRUE(c->waitForMessages(7));
        ASSERT_EQ(c->types(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
        const auto& m = c->messages;
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

// A client that stops reading is cut off while the other carries on; the
// service quits only when the last client has left.
TEST_F(ServiceConnections, ClientThatStopsReadingIsCutOffAndTheLastToLeaveEndsTheService)
{
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    EXPECT_EQ(initTimes(), 4);
    s.volume('C')->announce();
    TestClient reader;
    ASSERT_TRUE(reader.connectTo(s.service));
    QLocalSocket silent;   // takes one byte, then leaves the rest in the kernel
    silent.setReadBufferSize(1);
    silent.connectToServer(QLatin1String(ZService::kServerName));
    ASSERT_TRUE(silent.waitForConnected(2000));
    ASSERT_TRUE(spinUntil([&] { return s.service.clientList().size() == 2; }));

    // Send well past the bound, in bursts between which the reader drains its socket.
    const qint64 wireSize = SearchEngine::buildItemPair(7, 0, 0, 0).size();
    const int total = int(2 * ZService::kMaxClientBacklogBytes / wireSize);
    const int burst = 2000;
    auto* v = s.volume('C');
    const qint64 logBefore = logSize();
    for (int sent = 0; sent < total; sent += burst) {
        for (int i = 0; i < burst; ++i)
            emit v->itemNameChanged(ULONGLONG(sent + i), ULONGLONG(sent + i + 1), DWORD(sent + i));
        spinFor(5);
    }
    EXPECT_EQ(s.service.clientList().size(), 1);
    EXPECT_TRUE(logSince(logBefore).contains("client disconnected: it stopped reading and "));
    ASSERT_TRUE(reader.waitForMessages(size_t(2 + ((total + burst - 1) / burst) * burst), 10000));
    EXPECT_EQ(reader.decoder.malformedCount(), 0);
    EXPECT_EQ(reader.messages.back().type, 7);
    EXPECT_FALSE(quitsWithin(300)) << "one client is still there";
    EXPECT_EQ(initTimes(), 4);

    reader.socket.disconnectFromServer();
    EXPECT_TRUE(quitsWithin(2000));
    EXPECT_TRUE(s.service.clientList().isEmpty());
    EXPECT_EQ(initTimes(), 1) << "an orderly exit";
}
