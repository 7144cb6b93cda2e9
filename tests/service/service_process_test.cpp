// The real "searchservice TestService" process in this test's private
// folders: the refusals and failures of its start, the single-instance guard
// and the stale socket file; and, with drives in the drive table folder, what
// clients hear, changes on disk, the quit when the last client leaves, a
// drive that disappears, a drive that is not NTFS, a restart after a kill and
// the stop signals.
#include "support/ZServiceProcess.h"

#include "client/ZSharedPoolReader.h"
#include "platform/win32_registry.h"
#include "platform/win32_sync.h"
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedSegment.h"
#include "support/TestEnvironment.h"
#include "wire/ZPublishedDrives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <QDir>
#include <QFile>
#include <QProcess>

using namespace ServiceTestKit;
using SearchEngine::ZItemSnapshot;
using SearchEngine::ZService;
using SearchEngine::ZSharedPoolReader;

namespace {

constexpr int kExitTimeoutMs = kServiceExitTimeoutMs;
constexpr int kIndexTimeoutMs = 30000;
constexpr int kChangeTimeoutMs = 15000;

class ServiceProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        app();
        ASSERT_TRUE(enableDebugLog());
    }
    void SetUp() override
    {
        clearStartSettings();
        settingsStore().sync();
        // An empty table folder: no drives (without the folder the table
        // would hold the whole root file system).
        QDir(dosdevices()).removeRecursively();
        QDir().mkpath(dosdevices());
    }
    void TearDown() override
    {
        QDir(dosdevices()).removeRecursively();
        // A service this test killed leaves its segments; clear them as the next start would.
        SearchEngine::removeStaleSharedSegments();
    }

    static void setDrive(char letter, const QString& target, bool image = false)
    {
        const QString name = QString(QChar(letter).toLower()) + (image ? QStringLiteral("::") : QStringLiteral(":"));
        ASSERT_TRUE(QFile::link(target, dosdevices() + QLatin1Char('/') + name));
    }
};

// Drive-backed cases need the service to read the drive table folder; until
// it does, it finds no drive, fails its start and they cannot run. Otherwise
// the client is connected and has heard that every drive is ready.
#define REQUIRE_READY_SERVICE(service, client)                                                                  \
    do {                                                                                                        \
        ASSERT_TRUE((service).start());                                                                         \
        spinUntil([&] { return (client).connectByName(200) || !(service).running(); }, kExitTimeoutMs);         \
        spinUntil([&] { return (client).hasAllReady() || !(service).running(); }, kIndexTimeoutMs);             \
        if (!(service).running() && (service).log().contains("start server failed : GetLogicalDriveStrings"))   \
            GTEST_SKIP() << "the service finds no drive in the drive table folder";                             \
        ASSERT_TRUE((service).running());                                                                       \
        ASSERT_TRUE((client).hasAllReady());                                                                    \
    } while (0)

bool writeFile(const QString& path, const QByteArray& bytes = QByteArray("x"))
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

// Every start that cannot serve ends by itself with code 0 and logs why.
TEST_F(ServiceProcessTest, StartsThatCannotServeEndCleanlyAndSayWhy)
{
    HANDLE guard = nullptr;
    const struct {
        const char* what;
        std::function<void()> setUp;
        const char* logged;
        const char* notLogged;
        int initTimes;
        bool othersDrivesStay;   // the drive list the running instance published
    } cases[] = {
        {"no drives", [] {}, "start server failed : GetLogicalDriveStrings", "repeat start", 1, false},
        {"a stale socket file", [] { ASSERT_TRUE(writeFile(socketPath())); },
         "start server failed : GetLogicalDriveStrings", "start server failed : listen failed!", 1, false},
        // The restart policy runs before the guard: the start was counted.
        {"a second instance",
         [&] {
             guard = Platform::createSingleInstanceMutex(ZService::kInstanceMutexName);
             ASSERT_NE(guard, nullptr);
             ASSERT_NE(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
             ASSERT_TRUE(writeFile(SearchEngine::ZPublishedDrives::filePath()));
         },
         "repeat start!!!", "start server failed", 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearStartSettings();
        settingsStore().sync();
        c.setUp();
        ZServiceProcess service;
        ASSERT_TRUE(service.start());
        EXPECT_TRUE(service.endsCleanly());
        if (guard)
            CloseHandle(guard), guard = nullptr;
        const QByteArray log = service.log();
        EXPECT_TRUE(log.contains(c.logged)) << log.constData();
        EXPECT_FALSE(log.contains(c.notLogged)) << log.constData();
        EXPECT_EQ(initTimes(), c.initTimes);
        EXPECT_FALSE(QFile::exists(socketPath())) << "no socket file is left";
        EXPECT_EQ(QFile::remove(SearchEngine::ZPublishedDrives::filePath()), c.othersDrivesStay);
    }
}

// With C: and E: trees and X: a FAT image: clients hear the NTFS-like drives,
// changes on disk, a drive whose root disappears, and the last client
// leaving ends the service.
TEST_F(ServiceProcessTest, ClientsHearDrivesChangesAndLossesAndTheLastOneEndsTheService)
{
    const QString treeC = TestSupport::freshDir(QStringLiteral("tree-c"));
    const QString treeE = TestSupport::freshDir(QStringLiteral("tree-e"));
    const QString image = TestSupport::freshDir(QStringLiteral("images")) + QStringLiteral("/fat.img");
    QDir().mkpath(treeC + QStringLiteral("/docs"));
    ASSERT_TRUE(writeFile(treeC + QStringLiteral("/docs/Quarterly Report.txt")));
    ASSERT_TRUE(writeFile(treeE + QStringLiteral("/e-file.txt")));
    ASSERT_TRUE(writeFile(image, QByteArray(1 << 20, '\0')));
    setDrive('E', treeE);
    setDrive('C', treeC);
    setDrive('X', image, true);

    ZServiceProcess service;
    TestClient first;
    REQUIRE_READY_SERVICE(service, first);
    // The first client may have heard the drives in the order they finished.
    std::vector<ushort> heard;
    QString poolC;
    for (const auto& m : first.messages) {
        if (m.type == 1)
            heard.push_back(m.drive);
        if (m.type == 1 && m.drive == 'C')
            poolC = m.poolName;
    }
    std::sort(heard.begin(), heard.end());
    EXPECT_EQ(heard, (std::vector<ushort>{'C', 'E'})) << "the FAT image is never announced";
    ZSharedPoolReader reader(poolC, 'C');
    reader.attachPieces();
    const auto hits = reader.findNames(QStringLiteral("quarterly"));
    ASSERT_EQ(hits.size(), 1);
    EXPECT_EQ(hits[0].fileName(), QStringLiteral("Quarterly Report.txt"));

    // A client connecting now hears every drive in drive order, then all-ready.
    TestClient second;
    ASSERT_TRUE(second.connectByName());
    ASSERT_TRUE(second.waitForMessages(3));
    spinFor(100);
    ASSERT_EQ(second.types(), (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(second.messages[0].drive, 'C');
    EXPECT_EQ(second.messages[1].drive, 'E');

    size_t at = first.messages.size();
    SearchEngine::ZClientMessage added, renamed, lost;
    ASSERT_TRUE(writeFile(treeC + QStringLiteral("/docs/fresh.txt")));
    ASSERT_TRUE(first.next(at, {6}, &added, kChangeTimeoutMs));
    ZItemSnapshot item;
    ASSERT_EQ(reader.readItem(added.itemRef, &item), ZSharedPoolReader::ReadOk);
    EXPECT_EQ(item.fileName(), QStringLiteral("fresh.txt"));
    EXPECT_TRUE(item.isLive());

    ASSERT_TRUE(QFile::rename(treeC + QStringLiteral("/docs/fresh.txt"), treeC + QStringLiteral("/docs/renamed.txt")));
    ASSERT_TRUE(first.next(at, {7}, &renamed, kChangeTimeoutMs));
    ZItemSnapshot oldItem, newItem;
    ASSERT_EQ(reader.readItem(renamed.itemRef, &oldItem), ZSharedPoolReader::ReadOk);
    ASSERT_EQ(reader.readItem(renamed.newItemRef, &newItem), ZSharedPoolReader::ReadOk);
    EXPECT_FALSE(oldItem.isLive());
    EXPECT_EQ(newItem.fileName(), QStringLiteral("renamed.txt"));
    EXPECT_EQ(oldItem.modifyStamp, newItem.modifyStamp);

    // E:'s root disappears: told with 21, and a second later a new client hears of C: only.
    ASSERT_TRUE(QDir(treeE).removeRecursively());
    ASSERT_TRUE(first.next(at, {8}, &lost, kChangeTimeoutMs));
    EXPECT_EQ(lost.reason, 21u);
    EXPECT_EQ(lost.drive, 'E');
    spinFor(1500);
    TestClient third;
    ASSERT_TRUE(third.connectByName());
    ASSERT_TRUE(third.waitForMessages(2));
    spinFor(100);
    EXPECT_EQ(third.types(), (std::vector<int>{1, 2}));
    EXPECT_EQ(third.messages[0].drive, 'C');

    // Clients leave: the service runs on until the last one has gone, then
    // quits, leaving the count of an orderly exit.
    second.socket.disconnectFromServer();
    third.socket.disconnectFromServer();
    spinFor(500);
    EXPECT_TRUE(service.running());
    first.socket.disconnectFromServer();
    EXPECT_TRUE(service.endsCleanly());
    EXPECT_EQ(initTimes(), 1);
}

// A killed service leaves its socket file and the next start listens again;
// systemctl stop and Ctrl-C stop it as when its last client leaves, with its
// socket, key files and segments (the killed run's too) gone.
TEST_F(ServiceProcessTest, KilledServiceStartsAgainAndStopSignalsLeaveNothingBehind)
{
    const QString tree = TestSupport::freshDir(QStringLiteral("tree-signal"));
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/a.txt")));
    setDrive('C', tree);
    const QString keyFolder = SearchEngine::segmentKeyFolder(geteuid());
    const auto keyFiles = [&] {
        QStringList found;
        for (const QString& name : QDir(keyFolder).entryList(QDir::Files | QDir::System))
            if (SearchEngine::isSegmentKeyFileName(name))
                found << keyFolder + QLatin1Char('/') + name;
        return found;
    };
    std::vector<key_t> keys;
    const auto collectKeys = [&] {
        for (const QString& file : keyFiles())
            keys.push_back(::ftok(QFile::encodeName(file).constData(), 'Q'));
    };
    {
        ZServiceProcess crashed;
        TestClient client;
        REQUIRE_READY_SERVICE(crashed, client);
        crashed.process.kill();
        crashed.process.waitForFinished(kExitTimeoutMs);
    }
    EXPECT_TRUE(QFile::exists(socketPath())) << "a crash leaves the socket file";
    collectKeys();
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        clearStartSettings();
        settingsStore().sync();
        ZServiceProcess service;
        TestClient client;
        REQUIRE_READY_SERVICE(service, client);
        collectKeys();
        ASSERT_FALSE(keys.empty());
        ASSERT_EQ(::kill(pid_t(service.pid()), signal), 0);
        EXPECT_TRUE(service.endsCleanly());
        EXPECT_EQ(initTimes(), 1) << "an orderly exit";
        EXPECT_FALSE(QFile::exists(socketPath()));
        EXPECT_TRUE(keyFiles().isEmpty());
        EXPECT_TRUE(QDir(keyFolder).entryList({QStringLiteral("*.ledger")}, QDir::Files).isEmpty())
            << "an orderly exit settles its own segment ledger";
        for (key_t key : keys)
            EXPECT_LT(::shmget(key, 0, 0), 0) << "segment of key " << key << " is left";
    }
}
