// The volume thread on an emulated NTFS drive: every exit of run with its
// reports and its one initDone, the forced rebuild, the cache path, the
// orphan pruning, and stops that end the thread without a later signal.
#include "frame/ZSettings.h"
#include "platform/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/win32_registry.h"
#include "platform/windows.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"
#include "volume/ZDriveVolume.h"

#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace SearchEngine;
using Platform::ZEmulatedNtfsVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;
const QString kQuitReason = QStringLiteral("SearchServiceQuitReason");
const QString kInitTimes = QStringLiteral("SearchServiceInitTimes");
constexpr ULONGLONG kJournalTimeOutMs = 5000;

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "volume_thread_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

QString tallyLogPath()
{
    return TestSupport::testRoot() + QStringLiteral("/tally.log");
}

// The telemetry stand-in, found through "ProgramPath", logging every call.
class TallyEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        application();
        const QString program = TestSupport::freshDir(QStringLiteral("program"));
        QDir().mkpath(program + QStringLiteral("/operation/cas"));
        QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), program + QStringLiteral("/operation/cas/libztally.so"));
        QSettings ini(Platform::registryHivePath(HKEY_LOCAL_MACHINE), QSettings::IniFormat);
        ini.setValue(Platform::registryGroup(QStringLiteral("SOFTWARE\\orvanta\\Antivirus"))
                         + QStringLiteral("/ProgramPath"),
                     program);
        // DEBUG lines are written.
        ini.setValue(Platform::registryGroup(QStringLiteral("Software\\Orvanta\\antivirus\\sysopt"))
                         + QStringLiteral("/LogLevel"),
                     0);
        ini.sync();
        setenv("ZTALLY_TEST_LOG", QFile::encodeName(tallyLogPath()).constData(), 1);
    }
};
const auto* const kTally = ::testing::AddGlobalTestEnvironment(new TallyEnvironment);

// The log file of this program, beside the executable.
QString logFilePath()
{
    const QFileInfo exe(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget());
    return exe.absolutePath() + QStringLiteral("/log/") + exe.fileName() + QLatin1Char('.') + exe.fileName()
        + QStringLiteral(".log");
}

qint64 logSize()
{
    return QFileInfo(logFilePath()).size();
}

// Whether a log line written after the first `from` bytes has the text `text`.
bool loggedSince(qint64 from, const QString& text)
{
    QFile f(logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        return false;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.indexOf("] ") >= 0 && QString::fromUtf8(line.mid(line.indexOf("] ") + 2)).remove(QLatin1Char('\r')) == text)
            return true;
    }
    return false;
}

using Reports = std::vector<std::string>;

// The reports sent so far, each as "dtype reason drive scanfiles".
Reports reports()
{
    Reports out;
    QFile f(tallyLogPath());
    for (bool open = f.open(QIODevice::ReadOnly); open && !f.atEnd();) {
        const QList<QByteArray> words = f.readLine().trimmed().split(' ');
        if (words.size() == 3 && words[1] == "dtype")
            out.push_back(words[2].toStdString());
        else if (words.size() == 3 && !out.empty() && (words[1] == "reason" || words[1] == "drive" || words[1] == "scanfiles"))
            out.back() += ' ' + words[2].toStdString();
    }
    return out;
}

const Reports kBuildReports = {"4 0 E 0", "5 0 E 4"};   // the root, docs, readme.txt and boot.ini

QString cacheFilePath()
{
    return QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Orvanta/SearchService/DriveCacheE.dat");
}

// Polls a condition the volume thread brings about (real time, bounded).
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}

class VolumeThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform::setClock(&clock);
        QFile::remove(tallyLogPath());
        QFile::remove(cacheFilePath());
        settingsSetValue(kQuitReason, 0);
        settingsSetValue(kInitTimes, 0);
        makeDevice(ZEmulatedNtfsVolume::Options());
    }

    void TearDown() override
    {
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
        Platform::setClock(nullptr);
    }

    void makeDevice(const ZEmulatedNtfsVolume::Options& options)
    {
        device = std::make_shared<ZEmulatedNtfsVolume>(options);
        Platform::ZDriveTable::instance().setDrive(kDrive, device);
        if (options.fileSystemName != u"NTFS")
            return;
        docs = device->createFolder(kRoot, u"docs");
        readme = device->createFile(docs, u"readme.txt");
        device->write(readme, 0, 300);
        device->createFile(kRoot, u"boot.ini");
    }

    // A fresh volume object with spies on its signals.
    void makeVolume()
    {
        volume.reset(new ZDriveVolume(kDrive));
        initDone.reset(new QSignalSpy(volume.get(), &ZDriveVolume::initDone));
        appended.reset(new QSignalSpy(volume.get(), &ZDriveVolume::itemAppended));
        removed.reset(new QSignalSpy(volume.get(), &ZDriveVolume::itemRemoved));
        listenFailed.reset(new QSignalSpy(volume.get(), &ZDriveVolume::listenFailed));
    }

    // Starts the thread and waits until it announced the drive or ended.
    void startAndAwaitAnnouncement()
    {
        volume->start();
        ASSERT_TRUE(eventually([&] { return volume->isInitDone() || volume->isFinished(); }));
        ASSERT_TRUE(eventually([&] { return initDone->count() > 0 || volume->isFinished(); }));
    }

    // Stops the thread and waits for it (a blocked journal read is woken).
    void stopAndJoin()
    {
        volume->stop();
        ASSERT_TRUE(volume->wait(10000));
    }

    // Polls while moving the clock on, so that a journal read waiting for
    // more records returns at its five-second time-out.
    template <typename Condition>
    bool eventuallyWithTimeOuts(Condition condition)
    {
        return eventually([&] {
            clock.advance(kJournalTimeOutMs);
            return condition();
        });
    }

    void expectOneInitDone(bool succeeded)
    {
        ASSERT_EQ(initDone->count(), 1);
        const QList<QVariant>& args = initDone->at(0);
        EXPECT_EQ(args.at(0).toBool(), succeeded);
        EXPECT_EQ(args.at(1).toString(), volume->poolName());
        EXPECT_EQ(args.at(2).value<ushort>(), kDrive);
        EXPECT_EQ(args.at(3).value<DWORD>(), 0u); // counted only from monitoring on
        EXPECT_TRUE(succeeded || args.at(4).value<DWORD>() == 0u);
    }

    // Starts a fresh volume and waits for the thread to end.
    void runToEnd()
    {
        makeVolume();
        volume->start();
        ASSERT_TRUE(volume->wait(10000));
    }

    Platform::ZManualClock clock;
    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    std::unique_ptr<QSignalSpy> initDone, appended, removed, listenFailed;
    DWORD docs = 0, readme = 0;
};

} // namespace

TEST(VolumeObject, RegistersTheSignalTypesAndNamesEachPoolAfresh)
{
    application();
    ZDriveVolume a(kDrive);
    ZDriveVolume b(kDrive);
    // Queued signals need the types registered under these names.
    EXPECT_EQ(QMetaType::type("DWORD"), qMetaTypeId<DWORD>());
    EXPECT_EQ(QMetaType::type("ULONGLONG"), qMetaTypeId<ULONGLONG>());
    // A braced lower-case UUID, new for every object.
    EXPECT_EQ(a.poolName().size(), 38);
    EXPECT_TRUE(a.poolName().startsWith(QLatin1Char('{')) && a.poolName().endsWith(QLatin1Char('}')));
    EXPECT_EQ(a.poolName(), a.poolName().toLower());
    EXPECT_NE(a.poolName(), b.poolName());
    // The seven signals in their index order.
    const QMetaObject* mo = a.metaObject();
    const char* signatures[] = {
        "initDone(bool,QString,ushort,DWORD,DWORD)",    "listenFailed(DWORD)",
        "pieceAppended(ushort,DWORD)",                  "itemRemoved(ULONGLONG,DWORD)",
        "itemAppended(ULONGLONG,DWORD)",                "itemChanged(ULONGLONG,ULONGLONG,DWORD)",
        "itemNameChanged(ULONGLONG,ULONGLONG,DWORD)",
    };
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(mo->method(mo->methodOffset() + i).methodSignature(), QByteArray(signatures[i]));
}

TEST_F(VolumeThreadTest, DriveThatIsNotNtfsOrCannotBeOpenedReportsAndAnnouncesFailure)
{
    ZEmulatedNtfsVolume::Options fat;
    fat.fileSystemName = u"FAT32";
    makeDevice(fat);
    const qint64 from = logSize();
    runToEnd();
    expectOneInitDone(false);
    EXPECT_TRUE(volume->isInitDone());
    EXPECT_TRUE(loggedSince(from, QStringLiteral("init nfts volume failed!")));
    EXPECT_EQ(reports(), Reports{"2 1 E 0"});
    EXPECT_FALSE(QFile::exists(cacheFilePath()));
    EXPECT_EQ(device->callCount(ZEmulatedNtfsVolume::CallOpen), 0u);

    QFile::remove(tallyLogPath());
    makeDevice(ZEmulatedNtfsVolume::Options());
    device->failCall(ZEmulatedNtfsVolume::CallOpen, ERROR_ACCESS_DENIED, ZEmulatedNtfsVolume::kUntilCleared);
    runToEnd();
    expectOneInitDone(false);
    EXPECT_EQ(reports(), Reports{"2 2 E 0"});
}

TEST_F(VolumeThreadTest, FullBuildReportsSavesAnnouncesThenMonitorsUntilTheJournalFails)
{
    makeVolume();
    bool cacheBeforeAnnouncement = false;
    Reports reportsBeforeAnnouncement;
    std::atomic<bool> looked{false};
    QObject::connect(volume.get(), &ZDriveVolume::initDone, volume.get(),
                     [&] {
                         cacheBeforeAnnouncement = QFile::exists(cacheFilePath());
                         reportsBeforeAnnouncement = reports();
                         looked = true;
                     },
                     Qt::DirectConnection);
    startAndAwaitAnnouncement();
    ASSERT_TRUE(eventually([&] { return looked.load(); }));
    expectOneInitDone(true);
    EXPECT_GE(initDone->at(0).at(4).value<DWORD>(), 1u);
    EXPECT_EQ(initDone->at(0).at(4).value<DWORD>(), DWORD(volume->pieceCount()));
    EXPECT_EQ(reportsBeforeAnnouncement, kBuildReports);
    EXPECT_TRUE(cacheBeforeAnnouncement);

    // Monitoring: the counter starts at 1 and changes arrive.
    ASSERT_TRUE(eventually([&] { return volume->modifyCounter() == 1; }));
    device->createFile(docs, u"new.txt");
    ASSERT_TRUE(eventuallyWithTimeOuts([&] { return appended->count() == 1; }));
    EXPECT_EQ(appended->at(0).at(1).value<DWORD>(), 2u);
    ASSERT_TRUE(device->remove(readme));
    ASSERT_TRUE(eventuallyWithTimeOuts([&] { return removed->count() == 1; }));

    // A journal that fails ends the thread after listenFailed.
    device->setNotReady(true);
    ASSERT_TRUE(volume->wait(10000));
    ASSERT_EQ(listenFailed->count(), 1);
    EXPECT_EQ(listenFailed->at(0).at(0).value<DWORD>(), DWORD(ERROR_NOT_READY));
    EXPECT_EQ(initDone->count(), 1);
}

TEST_F(VolumeThreadTest, AnnouncementArrivesQueuedOnTheServiceThread)
{
    makeVolume();
    QObject receiver;
    std::vector<std::tuple<bool, QString, ushort>> got;
    QObject::connect(volume.get(), &ZDriveVolume::initDone, &receiver,
                     [&](bool ok, QString name, ushort drive, DWORD, DWORD) { got.emplace_back(ok, name, drive); });
    startAndAwaitAnnouncement();
    ASSERT_TRUE(eventually([&] {
        QCoreApplication::processEvents();
        return !got.empty();
    }));
    EXPECT_EQ(got[0], std::make_tuple(true, volume->poolName(), ushort(kDrive)));
    stopAndJoin();
}

// A parameter failure of this drive's journal, from the third start on,
// forces a rebuild with a new journal; other reasons are left alone.
TEST_F(VolumeThreadTest, QuitReasonForThisDriveFromTheThirdStartForcesARebuild)
{
    const struct {
        int quitReason, initTimes;
        bool rebuild;
    } rows[] = {{(87 << 16) | int(kDrive), 3, true}, {(87 << 16) | int(kDrive), 2, false},
                {(87 << 16) | int(u'D'), 3, false},  {(21 << 16) | int(kDrive), 3, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.quitReason << " at start " << r.initTimes);
        settingsSetValue(kQuitReason, r.quitReason);
        settingsSetValue(kInitTimes, r.initTimes);
        QFile::remove(tallyLogPath());
        QFile::remove(cacheFilePath());
        makeDevice(ZEmulatedNtfsVolume::Options());
        makeVolume();
        const qint64 from = logSize();
        startAndAwaitAnnouncement();
        expectOneInitDone(true);
        EXPECT_EQ(loggedSince(from, QStringLiteral("\"last quit reason:87, try reload mft:69!\" ")), r.rebuild);
        EXPECT_EQ(settingsValue(kQuitReason, -1).toInt(), r.rebuild ? 0 : r.quitReason);
        EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL) > 0, r.rebuild);
        EXPECT_EQ(reports(), kBuildReports);
        stopAndJoin();
    }
}

TEST_F(VolumeThreadTest, FailedJournalRecreationReportsAndAnnouncesFailure)
{
    settingsSetValue(kQuitReason, (87 << 16) | int(kDrive));
    settingsSetValue(kInitTimes, 4);
    // The set-up query passes; the one after the re-creation fails.
    device->failCall(FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION, ZEmulatedNtfsVolume::kUntilCleared, 1);
    runToEnd();
    expectOneInitDone(false);
    EXPECT_EQ(settingsValue(kQuitReason, -1).toInt(), 0); // not retried from the same value
    EXPECT_EQ(reports(), Reports{"3 0 E 0"});
    EXPECT_FALSE(QFile::exists(cacheFilePath()));
}

TEST_F(VolumeThreadTest, CacheFileReplacesTheBuildAndMonitoringResumesFromItsPosition)
{
    makeVolume();
    startAndAwaitAnnouncement();
    const DWORD pieces = initDone->at(0).at(4).value<DWORD>();
    stopAndJoin();
    ASSERT_TRUE(QFile::exists(cacheFilePath()));

    // A change while the service is not running comes from the journal.
    device->createFile(docs, u"offline.txt");
    QFile::remove(tallyLogPath());
    makeVolume();
    startAndAwaitAnnouncement();
    expectOneInitDone(true);
    EXPECT_EQ(initDone->at(0).at(4).value<DWORD>(), pieces);
    EXPECT_TRUE(reports().empty()); // no build reports
    ASSERT_TRUE(eventuallyWithTimeOuts([&] { return appended->count() == 1; }));
    stopAndJoin();
}

TEST_F(VolumeThreadTest, ItemsBelowAFolderTheWalkNeverSawArePruned)
{
    const DWORD lost = device->createFolder(docs, u"lost");
    const DWORD inner = device->createFolder(lost, u"inner");
    device->createFile(inner, u"deep.txt");
    device->createFile(lost, u"shallow.txt");
    // The folder's record reads as another one: the walk never sees it.
    device->redirectRecord(lost, readme);
    makeVolume();
    startAndAwaitAnnouncement();
    expectOneInitDone(true);
    EXPECT_EQ(reports(), kBuildReports);   // nothing below the lost folder counted
    stopAndJoin();
    EXPECT_EQ(volume->recordMap.count(inner) + volume->recordMap.count(lost), 0u);
    EXPECT_EQ(volume->recordMap.size(), 4u);
    size_t live = 0;
    volume->pool->forEachItem([&](ZLockItem) { return ++live, true; });
    EXPECT_EQ(live, 4u);
}

TEST_F(VolumeThreadTest, AStopBeforeTheAnnouncementEndsTheThreadWithoutOne)
{
    makeVolume();
    volume->stop();
    volume->start();
    ASSERT_TRUE(volume->wait(10000));
    EXPECT_EQ(initDone->count(), 0);
    EXPECT_TRUE(reports().empty());

    // A stop while the walk stores its first item (and so makes the first piece).
    makeVolume();
    QObject::connect(volume.get(), &ZDriveVolume::pieceAppended, volume.get(), [&] { volume->stop(); },
                     Qt::DirectConnection);
    volume->start();
    ASSERT_TRUE(volume->wait(10000));
    EXPECT_EQ(initDone->count(), 0);
    EXPECT_FALSE(volume->isInitDone());
    EXPECT_EQ(reports(), Reports{"4 0 E 0"});
    EXPECT_FALSE(QFile::exists(cacheFilePath())); // a partial walk is not saved

    // Stops at random moments never announce after the stop.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        makeVolume();
        std::atomic<bool> stopped{false};
        std::atomic<int> afterStop{0};
        QObject::connect(volume.get(), &ZDriveVolume::initDone, volume.get(),
                         [&] { afterStop += stopped.load(); }, Qt::DirectConnection);
        volume->start();
        QThread::usleep(unsigned(round) * 150);
        volume->stop();
        stopped = true;
        ASSERT_TRUE(volume->wait(10000));
        EXPECT_EQ(afterStop.load(), 0);
        EXPECT_LE(initDone->count(), 1);
    }
}

TEST_F(VolumeThreadTest, StopWakesTheJournalReadAndNothingFollows)
{
    makeVolume();
    startAndAwaitAnnouncement();
    ASSERT_TRUE(eventually([&] { return volume->modifyCounter() == 1; }));
    // Let the thread block in its read (the manual clock never times it out).
    QThread::msleep(20);
    QElapsedTimer timer;
    timer.start();
    volume->stop();
    EXPECT_LT(timer.elapsed(), 1000); // returns without waiting
    ASSERT_TRUE(volume->wait(5000));
    device->createFile(docs, u"after.txt");
    QThread::msleep(20);
    EXPECT_EQ(appended->count(), 0);
    EXPECT_EQ(initDone->count(), 1);
    EXPECT_EQ(listenFailed->count(), 0);
}

TEST_F(VolumeThreadTest, DestroyingAMonitoringVolumeEndsItsThreadAndReleasesItsPieces)
{
    makeVolume();
    startAndAwaitAnnouncement();
    ASSERT_TRUE(eventually([&] { return volume->modifyCounter() == 1; }));
    const QString poolName = volume->poolName();
    ASSERT_GE(volume->pieceCount(), 1);
    QElapsedTimer timer;
    timer.start();
    volume.reset();
    EXPECT_LT(timer.elapsed(), 5000);
    // A reader can no longer attach piece 1.
    ZSharedPool reader(poolName, kDrive);
    reader.setAttachOnly(true);
    EXPECT_EQ(reader.appendPiece(), nullptr);
}

// pruneOrphans on a hand-made tree keeps what reaches the root and drops
// lost subtrees and circles.
TEST_F(VolumeThreadTest, PruneOrphansKeepsWhatReachesTheRoot)
{
    makeVolume();
    DirectoryMap known, pending;
    const struct {
        DWORD record, parent;
        bool folder;
    } tree[] = {{kRoot, kRoot, true}, {20, kRoot, true}, {21, 20, false},
                {30, 99, true}, {31, 30, true}, {32, 31, false}, {33, 99, false},   // parent 99 never seen
                {40, 41, true}, {41, 40, true}, {42, 41, false}};                   // 40 and 41 name each other
    for (const auto& t : tree) {
        ZLockItem run = volume->pool->append(2);
        ZItemFields fields;
        fields.recordNumber = t.record;
        fields.parentRecordNumber = t.parent;
        fields.attributes = t.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        ASSERT_TRUE(createItem(run, fields, "x", 1));
        volume->recordMap.emplace(t.record, run.record());
        if (t.folder)
            volume->addDirectoryNode(known, pending, run.record());
    }
    volume->pruneOrphans(pending, known);
    freeDirectoryNodes(known, pending);
    std::vector<DWORD> kept;
    for (const auto& entry : volume->recordMap)
        kept.push_back(entry.first);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<DWORD>{kRoot, 20, 21}));
    size_t live = 0;
    volume->pool->forEachItem([&](ZLockItem item) {
        EXPECT_EQ(item->modifyStamp, 0u);
        return ++live, true;
    });
    EXPECT_EQ(live, 3u);
}
