// The volume thread on an emulated NTFS drive: every exit of run with its reports and
// one initDone, the forced rebuild, the cache, orphan pruning, and stops.
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include "support/TestEnvironment.h"
#include "support/ZDriveCacheFile.h"
#include "support/ZLogLines.h"
#include "support/ZServiceTestKit.h"
#include "support/ZTelemetryStandIn.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace SearchEngine;
using namespace ServiceTestKit;
using Vol = Platform::ZEmulatedNtfsVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;
const QString kQuitReason = QStringLiteral("SearchServiceQuitReason");
const QString kInitTimes = QStringLiteral("SearchServiceInitTimes");
constexpr int kParameterFailureHere = (87 << 16) | int(kDrive); // the journal monitor gave up on this drive
constexpr ULONGLONG kJournalTimeOutMs = 5000;
constexpr int kWaitMs = 10000;

QString cacheFilePath() { return TestSupport::driveCachePath(kDrive); }

using Reports = std::vector<std::string>;

// The reports sent so far, each as "dtype reason drive scanfiles".
Reports reports()
{
    Reports out;
    for (const std::string& line : TelemetryStandIn::logLines()) {
        const QList<QByteArray> words = QByteArray::fromStdString(line).trimmed().split(' ');
        if (words.size() == 3 && words[1] == "dtype")
            out.push_back(words[2].toStdString());
        else if (words.size() == 3 && !out.empty() && (words[1] == "reason" || words[1] == "drive" || words[1] == "scanfiles"))
            out.back() += ' ' + words[2].toStdString();
    }
    return out;
}

const Reports kBuildReports = {"4 0 E 0", "5 0 E 4"}; // the root, docs, readme.txt and boot.ini

class VolumeThreadTest : public ::testing::Test {
protected:
    // The telemetry stand-in, found through "ProgramPath", logs every call; DEBUG lines are written.
    static void SetUpTestSuite()
    {
        app();
        ASSERT_TRUE(enableDebugLog());
        TelemetryStandIn::install();
    }
    void SetUp() override
    {
        Platform::setClock(&clock);
        lastRun(0, 0);
        makeDevice();
    }
    // What the last run left: its quit reason and the count of starts.
    static void lastRun(int quitReason, int initTimes)
    {
        settingsSetValue(kQuitReason, quitReason);
        settingsSetValue(kInitTimes, initTimes);
    }

    void TearDown() override
    {
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
        Platform::setClock(nullptr);
    }
    // A fresh drive with no reports and no cache file yet.
    void makeDevice(const Vol::Options& options = Vol::Options())
    {
        QFile::remove(TelemetryStandIn::logPath());
        QFile::remove(cacheFilePath());
        device = std::make_shared<Vol>(options);
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
        listenFailed.reset(new QSignalSpy(volume.get(), &ZDriveVolume::listenFailed));
    }

    // Starts the thread (of a fresh volume unless told) and waits until it announced the drive or ended.
    void startAndAwaitAnnouncement(bool freshVolume = true)
    {
        if (freshVolume)
            makeVolume();
        volume->start();
        ASSERT_TRUE(spinUntil([&] { return initDone->count() > 0 || volume->isFinished(); }, kWaitMs));
    }

    // Starts the thread and waits for it to end; stops it and waits for it (a blocked journal read is woken).
    void runToEnd() { volume->start(); joined(); }
    void stopAndJoin() { volume->stop(); joined(); }
    void joined() { ASSERT_TRUE(volume->wait(kWaitMs)); }
    // Waits while moving the clock on, so that a waiting journal read returns at its time-out.
    template <typename Condition>
    bool spinWithTimeOuts(Condition condition)
    {
        return spinUntil([&] { return clock.advance(kJournalTimeOutMs), condition(); }, kWaitMs);
    }

    // The modify count (arg 3) is counted only from monitoring on; a failure has no pieces.
    void expectOneInitDone(bool succeeded)
    {
        ASSERT_EQ(initDone->count(), 1);
        const QList<QVariant>& args = initDone->at(0);
        EXPECT_EQ(std::make_tuple(args.at(0).toBool(), args.at(1).toString(), args.at(2).value<ushort>(),
                                  args.at(3).value<DWORD>(), args.at(4).value<DWORD>()),
                  std::make_tuple(succeeded, volume->poolName(), ushort(kDrive), DWORD(0),
                                  succeeded ? DWORD(volume->pieceCount()) : DWORD(0)));
    }

    // The pool's live items.
    size_t liveItems()
    {
        size_t live = 0;
        volume->pool->forEachItem([&](ZLockItem) { return ++live, true; });
        return live;
    }

    // A clock that can stop the volume when the thread reads the time (first at the build time).
    struct : Platform::ZManualClock {
        std::function<void()> onNow;
        QDateTime now() override { return onNow ? onNow() : void(), ZManualClock::now(); }
    } clock;
    std::shared_ptr<Vol> device;
    std::unique_ptr<ZDriveVolume> volume;
    std::unique_ptr<QSignalSpy> initDone, appended, listenFailed;
    DWORD docs = 0, readme = 0;
};

} // namespace

// A drive that is not NTFS, one that cannot be opened, and a forced rebuild whose journal cannot be
// made again: one report, one failed announcement, no cache file. A parameter failure of this drive's
// journal, from the third start on, forces a rebuild with a new journal, and is not left for a retry
// from the same value; other quit reasons are left alone.
TEST_F(VolumeThreadTest, EachStartReportsAnnouncesAndRebuildsAsTheLastQuitReasonSays)
{
    enum Failure { None, NotNtfs, OpenDenied, JournalNotRecreated };
    const struct {
        Failure failure;
        int quitReason, initTimes;
        Reports reports;
        bool rebuild, initFailedLine;
    } rows[] = {
        {NotNtfs, 0, 0, {"2 1 E 0"}, false, true},
        {OpenDenied, 0, 0, {"2 2 E 0"}, false, true},
        {JournalNotRecreated, kParameterFailureHere, 4, {"3 0 E 0"}, true, false},
        {None, kParameterFailureHere, 3, kBuildReports, true, false},
        {None, kParameterFailureHere, 2, kBuildReports, false, false},
        {None, (87 << 16) | int(u'D'), 3, kBuildReports, false, false},
        {None, (21 << 16) | int(kDrive), 3, kBuildReports, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << &r - rows);
        Vol::Options options;
        if (r.failure == NotNtfs)
            options.fileSystemName = u"FAT32";
        makeDevice(options);
        lastRun(r.quitReason, r.initTimes);
        if (r.failure == OpenDenied)
            device->failCall(Vol::CallOpen, ERROR_ACCESS_DENIED, Vol::kUntilCleared);
        if (r.failure == JournalNotRecreated) // the set-up query passes; the one after the re-creation fails
            device->failCall(FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION, Vol::kUntilCleared, 1);
        const qint64 from = logSize();
        startAndAwaitAnnouncement();
        if (r.failure != None)
            joined();
        expectOneInitDone(r.failure == None);
        EXPECT_TRUE(volume->isInitDone());
        EXPECT_EQ(LogLines::wrote(from, "init nfts volume failed!"), r.initFailedLine);
        EXPECT_EQ(LogLines::wrote(from, "\"last quit reason:87, try reload mft:69!\" "), r.rebuild);
        EXPECT_EQ(settingsValue(kQuitReason, -1).toInt(), r.rebuild ? 0 : r.quitReason);
        EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL) > 0, r.rebuild);
        EXPECT_EQ(reports(), r.reports);
        EXPECT_EQ(QFile::exists(cacheFilePath()), r.failure == None);
        if (r.failure == None)
            stopAndJoin();
    }
}

// The build prunes what hangs below a folder the walk never saw, reports and
// saves before the announcement, which also arrives queued on the service
// thread; monitoring then counts from 1 and ends, after listenFailed, on a
// failing journal.
TEST_F(VolumeThreadTest, FullBuildPrunesReportsSavesAnnouncesThenMonitorsUntilTheJournalFails)
{
    const DWORD lost = device->createFolder(docs, u"lost");
    const DWORD inner = device->createFolder(lost, u"inner");
    device->createFile(inner, u"deep.txt");
    device->createFile(lost, u"shallow.txt");
    // The folder's record reads as another one: the walk never sees it.
    device->redirectRecord(lost, readme);
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
    QObject receiver;
    std::vector<std::tuple<bool, QString, ushort>> queued;
    QObject::connect(volume.get(), &ZDriveVolume::initDone, &receiver,
                     [&](bool ok, QString name, ushort drive, DWORD, DWORD) { queued.emplace_back(ok, name, drive); });
    startAndAwaitAnnouncement(false);
    ASSERT_TRUE(spinUntil([&] { return looked.load() && !queued.empty(); }, kWaitMs));
    expectOneInitDone(true);
    EXPECT_EQ(reportsBeforeAnnouncement, kBuildReports); // nothing below the lost folder counted
    EXPECT_TRUE(cacheBeforeAnnouncement);
    EXPECT_EQ(queued, (std::vector<std::tuple<bool, QString, ushort>>{{true, volume->poolName(), ushort(kDrive)}}));

    ASSERT_TRUE(spinUntil([&] { return volume->modifyCounter() == 1; }, kWaitMs));
    device->createFile(docs, u"new.txt");
    ASSERT_TRUE(spinWithTimeOuts([&] { return appended->count() == 1; }));
    EXPECT_EQ(appended->at(0).at(1).value<DWORD>(), 2u);

    device->setNotReady(true);
    ASSERT_TRUE(volume->wait(kWaitMs));
    ASSERT_EQ(std::make_pair(listenFailed->count(), initDone->count()), std::make_pair(1, 1));
    EXPECT_EQ(listenFailed->at(0).at(0).value<DWORD>(), DWORD(ERROR_NOT_READY));
    // The pruned items are gone from the map and from the pool: the four built and new.txt.
    EXPECT_EQ(std::make_tuple(volume->recordMap.count(inner), volume->recordMap.size(), liveItems()),
              std::make_tuple(size_t(0), size_t(5), size_t(5)));
}

// A start from the cache file resumes monitoring where it was saved; the volume's end removes its pieces.
TEST_F(VolumeThreadTest, CacheFileReplacesTheBuildMonitoringResumesFromItsPositionAndTheEndWakesTheRead)
{
    startAndAwaitAnnouncement();
    const DWORD pieces = initDone->at(0).at(4).value<DWORD>();
    const QString firstPool = volume->poolName();
    stopAndJoin();
    ASSERT_TRUE(QFile::exists(cacheFilePath()));

    // A change while the service is not running comes from the journal.
    device->createFile(docs, u"offline.txt");
    QFile::remove(TelemetryStandIn::logPath());
    startAndAwaitAnnouncement();
    expectOneInitDone(true);
    EXPECT_EQ(initDone->at(0).at(4).value<DWORD>(), pieces);
    EXPECT_NE(volume->poolName(), firstPool); // every object names its pool afresh
    EXPECT_TRUE(reports().empty());           // no build reports
    ASSERT_TRUE(spinWithTimeOuts([&] { return appended->count() == 1; }));
    stopAndJoin();

    // That stop saved what it had applied: the next start resumes at the
    // journal's end, with nothing to read again.
    startAndAwaitAnnouncement();
    EXPECT_EQ(volume->savedUsn, volume->journalData.NextUsn);
    EXPECT_EQ(liveItems(), 5u);

    // The volume's destruction wakes the thread blocked in its journal read (the
    // manual clock never times it out), and its pieces are gone.
    ASSERT_TRUE(spinUntil([&] { return volume->modifyCounter() == 1; }, kWaitMs));
    ASSERT_GE(volume->pieceCount(), 1);
    const QString poolName = volume->poolName();
    volume.reset();
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
                {30, 99, true}, {31, 30, true}, {32, 31, false}, {33, 99, false}, // parent 99 never seen
                {40, 41, true}, {41, 40, true}, {42, 41, false}};                 // 40 and 41 name each other
    for (const auto& t : tree) {
        ZLockItem run = volume->pool->append(2);
        const ZItemFields fields{t.record, t.parent, DWORD(t.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE)};
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
    EXPECT_EQ(liveItems(), 3u);
}

// A stop before the start, while the walk stores its first item (and so makes the first piece),
// or once the build is saved (its build time read): no announcement, and a partial walk is not saved.
TEST_F(VolumeThreadTest, AStopBeforeTheAnnouncementEndsTheThreadWithoutOne)
{
    enum Stop { BeforeStart, AtFirstPiece, AfterTheBuild };
    const struct {
        Stop stop;
        Reports reports;
        bool saved;
    } rows[] = {{BeforeStart, {}, false}, {AtFirstPiece, {"4 0 E 0"}, false}, {AfterTheBuild, kBuildReports, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stop);
        makeDevice();
        makeVolume();
        if (r.stop == BeforeStart)
            volume->stop();
        if (r.stop == AtFirstPiece)
            QObject::connect(volume.get(), &ZDriveVolume::pieceAppended, volume.get(), [&] { volume->stop(); },
                             Qt::DirectConnection);
        if (r.stop == AfterTheBuild)
            clock.onNow = [&] { volume->stop(); };
        runToEnd();
        clock.onNow = nullptr;
        EXPECT_EQ(std::make_tuple(initDone->count(), volume->isInitDone(), reports(), QFile::exists(cacheFilePath())),
                  std::make_tuple(0, false, r.reports, r.saved));
    }
}
