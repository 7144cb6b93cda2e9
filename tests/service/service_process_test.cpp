// The real "searchservice TestService" process in this test's private
// folders: the refusals and failures of its start, the single-instance guard
// and the stale socket file; and, with a drive in the drive table folder, a
// restart after a kill and the three ways it stops in order.
#include "support/ZServiceProcess.h"

#include "platform/win32_sync.h"
#include "client/ZSearchClient.h"
#include "platform/ZDriveTable.h"
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedSegment.h"
#include "support/TestEnvironment.h"
#include "wire/ZPublishedDrives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <set>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <QDir>
#include <QFile>
#include <QProcess>

using namespace ServiceTestKit;
using SearchEngine::ZService;

namespace {

constexpr int kIndexTimeoutMs = 30000;

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
};

} // namespace

// Every start that cannot serve ends by itself with code 0 and logs why.
TEST_F(ServiceProcessTest, StartsThatCannotServeEndAndSayWhy)
{
    HANDLE guard = nullptr;
    const struct {
        const char* what;
        std::function<void()> setUp;
        const char* logged;
        const char* notLogged;
        int initTimes;
        bool othersDrivesStay;   // the drive list the running instance published
        int exitCode;            // a failure, or the running instance serves
    } cases[] = {
        // The stale file does not stop it before it looks for drives.
        {"no drives, a stale socket file", [] { ASSERT_TRUE(writeFile(socketPath())); },
         "start server failed : GetLogicalDriveStrings", "start server failed : listen failed!", 1, false,
         ZService::kStartFailedExitCode},
        // The restart policy runs before the guard: the start was counted.
        {"a second instance",
         [&] {
             guard = Platform::createSingleInstanceMutex(ZService::kInstanceMutexName);
             ASSERT_NE(guard, nullptr);
             ASSERT_NE(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
             ASSERT_TRUE(writeFile(SearchEngine::ZPublishedDrives::filePath()));
         },
         "repeat start!!!", "start server failed", 1, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clearStartSettings();
        c.setUp();
        ZServiceProcess service;
        ASSERT_TRUE(service.start());
        EXPECT_TRUE(service.ends());
        EXPECT_EQ(service.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(service.process.exitCode(), c.exitCode);
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

// A killed service leaves its socket file and the next start listens again;
// systemctl stop, Ctrl-C and the last client leaving each end it with code 0
// and the count of an orderly exit, its socket, key files and segments (the
// killed run's too) gone. Its directory drive, stopped and started again:
// with the state it kept, its cache is taken up and the changes made while
// it was down reach the index as changes after all-ready; with that state
// gone, the drive is rebuilt. Either way the index then holds the tree as it is.
TEST_F(ServiceProcessTest, StoppedOrKilledItLeavesNothingBehindAndItsDirectoryDriveResumesOrIsRebuilt)
{
    const QByteArray tag = QByteArray::number(qulonglong(::getpid()));
    auto names = [&](std::initializer_list<const char*> list) {
        std::set<QByteArray> out;
        for (const char* n : list)
            out.insert(QByteArray(n).replace("TAG", tag));
        return out;
    };
    // The names holding the tag in the index, as paths inside the tree.
    auto indexed = [&](const QString& tree) {
        std::set<QByteArray> out;
        SearchEngine::ZSearchClient client;
        if (!client.connectToService() || !client.waitForDrives(kIndexTimeoutMs))
            return out;
        SearchEngine::ZSearchQuery query;
        query.patterns << QString::fromLatin1(tag);
        client.search(query, [&](const SearchEngine::ZSearchHit& hit) {
            out.insert(hit.path.mid(QFile::encodeName(tree).size() + 1));
            return true;
        });
        return out;
    };
    const QString keyFolder = SearchEngine::segmentKeyFolder(geteuid());
    std::vector<key_t> keys;
    std::vector<pid_t> services;   // a key may be another program's too: only their segments count
    // Starts a run as the third of the restart window (a count an orderly
    // exit would not leave) and waits until it serves client.
    const auto serve = [&](ZServiceProcess& service, TestClient& client) {
        settingsSetValue(QStringLiteral("SearchServiceLastInitTime"),
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 2);
        settingsStore().sync();
        const bool serving = service.serves(client, kIndexTimeoutMs);
        EXPECT_TRUE(serving) << service.log().constData();
        EXPECT_EQ(initTimes(), 3);
        services.push_back(pid_t(service.pid()));
        for (const QString& file : segmentKeyFiles(keyFolder))
            keys.push_back(::ftok(QFile::encodeName(file).constData(), 'Q'));
        EXPECT_FALSE(keys.empty());
        return serving;
    };
    const int stops[] = {SIGTERM, SIGINT, 0, 0};   // 0: the only client leaves
    const int* stop = stops;
    const auto stopInOrder = [&](ZServiceProcess& service, TestClient& client) {
        SCOPED_TRACE(*stop);
        if (*stop)
            EXPECT_EQ(::kill(pid_t(service.pid()), *stop), 0);
        else
            client.socket.disconnectFromServer();
        ++stop;
        EXPECT_TRUE(service.endsCleanly());
        EXPECT_EQ(initTimes(), 1) << "an orderly exit";
        EXPECT_FALSE(QFile::exists(socketPath()));
        EXPECT_TRUE(segmentKeyFiles(keyFolder).isEmpty());
        EXPECT_TRUE(QDir(keyFolder).entryList({QStringLiteral("*.ledger")}, QDir::Files).isEmpty())
            << "an orderly exit settles its own segment ledger";
        for (key_t key : keys) {
            shmid_ds segment = {};
            const int id = ::shmget(key, 0, 0);
            const bool left = id >= 0 && ::shmctl(id, IPC_STAT, &segment) == 0
                              && std::count(services.begin(), services.end(), segment.shm_cpid) > 0;
            EXPECT_FALSE(left) << "segment of key " << key << " is left";
        }
    };
    for (const bool keepState : {true, false}) {
        SCOPED_TRACE(keepState ? "state kept" : "state removed");
        const QString tree
            = TestSupport::freshDir(keepState ? QStringLiteral("tree-resume") : QStringLiteral("tree-rebuild"));
        for (const QByteArray& name : names({"keep-TAG.txt", "gone-TAG.txt", "old-TAG.txt", "d/in-TAG.txt", "was-TAG.txt"}))
            ASSERT_TRUE(writeFile(tree + '/' + name));
        ASSERT_TRUE(linkDrive(tree, QStringLiteral("c:")));
        if (keepState) {
            ZServiceProcess crashed;
            TestClient client;
            ASSERT_TRUE(serve(crashed, client));
            crashed.process.kill();
            crashed.process.waitForFinished(kServiceExitTimeoutMs);
            EXPECT_TRUE(QFile::exists(socketPath())) << "a crash leaves the socket file";
        }
        {
            ZServiceProcess first;
            TestClient client;
            ASSERT_TRUE(serve(first, client));
            // Removed while the service runs: once its index shows that, so
            // must the next start's at its all-ready message.
            ASSERT_TRUE(QFile::remove(tree + "/was-" + tag + ".txt"));
            EXPECT_TRUE(spinUntil([&] { return indexed(tree).count("was-" + tag + ".txt") == 0; }, kIndexTimeoutMs));
            stopInOrder(first, client);
        }
        ASSERT_TRUE(QFile::remove(tree + "/gone-" + tag + ".txt"));
        ASSERT_TRUE(QFile::rename(tree + "/old-" + tag + ".txt", tree + "/new-" + tag + ".txt"));
        ASSERT_TRUE(writeFile(tree + "/d/fresh-" + tag + ".txt"));
        if (!keepState) {
            for (const char* file : {"/LiveIdentitiesC.dat", "/LiveJournalC.dat"})
                ASSERT_TRUE(QFile::remove(Platform::ZDriveTable::stateFolder() + QLatin1String(file)));
        }

        ZServiceProcess second;
        TestClient client;
        ASSERT_TRUE(serve(second, client));
        EXPECT_EQ(indexed(tree).count("was-" + tag + ".txt"), 0u) << "the orderly stop saved what its index showed";
        const std::set<QByteArray> now = names({"keep-TAG.txt", "new-TAG.txt", "d/in-TAG.txt", "d/fresh-TAG.txt"});
        EXPECT_TRUE(spinUntil([&] { return indexed(tree) == now; }, kIndexTimeoutMs));
        const QByteArray lines = second.log(true);   // the drive's own thread writes them
        EXPECT_EQ(lines.contains("67-Load:"), keepState) << "the cache is taken up only with the state";
        for (const char* change : {"67-Remove:\"gone-TAG.txt\"", "67-Rename:\"old-TAG.txt\" \"new-TAG.txt\"",
                                   "67-Add:\"fresh-TAG.txt\""})
            EXPECT_EQ(lines.contains(QByteArray(change).replace("TAG", tag)), keepState) << change;
        stopInOrder(second, client);
    }
}
