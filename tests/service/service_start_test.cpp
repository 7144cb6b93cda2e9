// Service start-up in process: the restart policy over the clock seam, the
// single-instance guard, the stale socket file, and one volume per drive.
#include "support/ZServiceTestKit.h"

#include "win32/ZClock.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

class ServiceStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        clearStartSettings();
        Platform::setClock(&clock);
    }
    void TearDown() override { Platform::setClock(nullptr); }

    // One start of a service made of fake volumes, taken down at once
    // without an orderly exit (as a crash would leave the count).
    bool startOnce()
    {
        ServiceUnderTest s(u"C");
        return s.started;
    }

    QDateTime windowOpen() const
    {
        return QDateTime::fromString(settingsValue(QStringLiteral("SearchServiceLastInitTime")).toString(), kTimeFormat);
    }

    Platform::ZManualClock clock;
};

} // namespace

TEST_F(ServiceStart, FifthStartInsideTheWindowIsRefusedThenANewWindowOpens)
{
    const QDateTime t0 = clock.now();
    for (int at : {0, 60, 120, 300}) {   // exactly 300 s is still inside
        clock.setNow(t0.addSecs(at));
        ASSERT_TRUE(startOnce()) << "start at " << at << " s";
        EXPECT_EQ(windowOpen(), t0);
    }
    EXPECT_EQ(initTimes(), 4);
    EXPECT_FALSE(startOnce());
    EXPECT_EQ(initTimes(), 4) << "a refusal writes nothing";
    EXPECT_EQ(windowOpen(), t0);

    clock.setNow(t0.addSecs(301));
    EXPECT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 1);
    EXPECT_EQ(windowOpen(), t0.addSecs(301));
}

// Starts a minute apart after the stored time and count; 0 is a refused start.
TEST_F(ServiceStart, StoredTimesAndCountsOddOrLeftByAnOrderlyExit)
{
    const QDateTime t0 = clock.now();
    const struct {
        const char* what;
        QString storedTime;
        int storedCount;
        std::vector<int> counts;
    } cases[] = {
        {"in the future: starts stay inside", t0.addDays(2).toString(kTimeFormat), 3, {4, 0}},
        {"an orderly exit's count is not held against later starts", t0.toString(kTimeFormat), 1, {2, 3, 4}},
        {"unreadable: a new window opens", QStringLiteral("not a time"), 4, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clock.setNow(t0);
        settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), c.storedTime);
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), c.storedCount);
        for (int count : c.counts) {
            EXPECT_EQ(startOnce(), count != 0);
            if (count) {
                EXPECT_EQ(initTimes(), count);
            }
            clock.advance(60 * 1000);
        }
    }
    EXPECT_EQ(windowOpen(), t0);   // the unreadable time was replaced by the start's
}

TEST_F(ServiceStart, OneVolumePerDriveStaleSocketRemovedSecondInstanceRefusedButCounted)
{
    {
        QFile stale(socketPath());
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    ServiceUnderTest first(u"EDC");
    ASSERT_TRUE(first.started);
    EXPECT_EQ(first.service.socketOptions(), QLocalServer::WorldAccessOption);
    EXPECT_EQ(first.service.qt_metacast("QAbstractNativeEventFilter"),
              static_cast<void*>(static_cast<QAbstractNativeEventFilter*>(&first.service)));
    std::vector<ushort> letters;
    for (auto* v : first.service.volumeList()) {
        letters.push_back(v->drive());
        EXPECT_TRUE(v->wait(2000)) << "every volume's thread was started";
    }
    EXPECT_EQ(letters, (std::vector<ushort>{'C', 'D', 'E'}));
    {
        ZService second;
        EXPECT_FALSE(second.start());
        EXPECT_TRUE(second.volumeList().empty());
        second.stop();
        CloseHandle(second.instanceMutexHandle());
    }
    EXPECT_EQ(initTimes(), 2) << "the policy runs before the guard";
    TestClient client;
    EXPECT_TRUE(client.connectTo(first.service)) << "the first one still serves";
}
