// Service start-up in process: the restart policy over the clock seam, the
// single-instance guard, the stale socket file, and one volume per drive.
#include "support/ZServiceTestKit.h"

#include "platform/ZClock.h"

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

TEST_F(ServiceStart, FirstStartOpensTheWindow)
{
    const QDateTime t0 = clock.now();
    ASSERT_TRUE(startOnce());
    EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceLastInitTime")).toString(), t0.toString(kTimeFormat));
    EXPECT_EQ(initTimes(), 1);
}

TEST_F(ServiceStart, FifthStartInsideTheWindowIsRefusedThenANewWindowOpens)
{
    const QDateTime t0 = clock.now();
    for (int i = 0; i < 4; ++i) {
        clock.setNow(t0.addSecs(60 * i));
        ASSERT_TRUE(startOnce()) << "start at " << 60 * i << " s";
        EXPECT_EQ(initTimes(), i + 1);
    }
    clock.setNow(t0.addSecs(240));
    EXPECT_FALSE(startOnce());
    EXPECT_EQ(initTimes(), 4) << "a refusal writes nothing";
    EXPECT_EQ(windowOpen(), t0);

    clock.setNow(t0.addSecs(301));
    EXPECT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 1);
    EXPECT_EQ(windowOpen(), t0.addSecs(301));
}

TEST_F(ServiceStart, ExactlyThreeHundredSecondsIsStillInside)
{
    const QDateTime t0 = clock.now();
    ASSERT_TRUE(startOnce());
    clock.setNow(t0.addSecs(300));
    ASSERT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 2);
    EXPECT_EQ(windowOpen(), t0);
}

TEST_F(ServiceStart, StoredTimeInTheFutureKeepsStartsInside)
{
    settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), clock.now().addDays(2).toString(kTimeFormat));
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);
    ASSERT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 4);
    clock.advance(3600 * 1000);
    EXPECT_FALSE(startOnce());
}

TEST_F(ServiceStart, OrderlyExitCountIsNotHeldAgainstLaterStarts)
{
    settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), clock.now().toString(kTimeFormat));
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 1);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 4);
}

TEST_F(ServiceStart, UnreadableStoredTimeOpensANewWindow)
{
    settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), QStringLiteral("not a time"));
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 4);
    ASSERT_TRUE(startOnce());
    EXPECT_EQ(initTimes(), 1);
    EXPECT_EQ(windowOpen(), clock.now());
}

TEST_F(ServiceStart, SecondInstanceIsRefusedButCounted)
{
    ServiceUnderTest first(u"C");
    ASSERT_TRUE(first.started);
    {
        ZService second;
        EXPECT_FALSE(second.start());
        EXPECT_TRUE(second.volumeList().empty());
        second.stop();
        CloseHandle(second.instanceMutexHandle());
    }
    EXPECT_EQ(initTimes(), 2) << "the policy runs before the guard";
    // The first one still serves.
    TestClient client;
    EXPECT_TRUE(client.connectTo(first.service));
}

TEST_F(ServiceStart, StaleSocketFileIsRemovedOnceTheGuardIsHeld)
{
    const QString socketPath = QDir::tempPath() + QLatin1Char('/') + QLatin1String(ZService::kServerName);
    {
        QFile stale(socketPath);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    ServiceUnderTest s(u"C");
    ASSERT_TRUE(s.started);
    TestClient client;
    EXPECT_TRUE(client.connectTo(s.service));
}

TEST_F(ServiceStart, OneVolumePerDriveInDriveOrder)
{
    ServiceUnderTest s(u"EDC");
    ASSERT_TRUE(s.started);
    std::vector<ushort> letters;
    for (auto* v : s.service.volumeList())
        letters.push_back(v->drive());
    EXPECT_EQ(letters, (std::vector<ushort>{'C', 'D', 'E'}));
    // Every volume's thread was started (and the fakes' ended at once).
    for (auto* v : s.service.volumeList())
        EXPECT_TRUE(v->wait(2000));
}

TEST_F(ServiceStart, WorldAccessServerThatIsAlsoANativeEventFilter)
{
    ZService service;
    EXPECT_EQ(service.socketOptions(), QLocalServer::WorldAccessOption);
    EXPECT_STREQ(service.metaObject()->className(), "SearchEngine::ZService");
    EXPECT_EQ(service.qt_metacast("QAbstractNativeEventFilter"),
              static_cast<void*>(static_cast<QAbstractNativeEventFilter*>(&service)));
}
