// Segments left by a crashed process: the ledger of every segment a process
// creates, and the start-up cleanup that removes what dead processes left
// unattached while sparing live processes and attached readers, and that
// nothing another user plants makes it touch anything else.
#include "storage/ZSegmentLedger.h"
#include "storage/storage_probe_names.h"
#include "support/TestEnvironment.h"
#include "support/ZFileState.h"
#include "support/ZHeldChild.h"
#include "support/ZOtherUser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QUuid>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace SearchEngine;
using StorageProbe::segmentIdOf;
using TestSupport::fileState;

namespace {

// Marked for removal counts as gone: an attached segment stays until its last detach.
bool segmentExists(int id)
{
    shmid_ds info{};
    return id != -1 && ::shmctl(id, IPC_STAT, &info) == 0 && !(info.shm_perm.mode & SHM_DEST);
}

QString freshReportFile() { return TestSupport::freshDir(QStringLiteral("crash")) + QStringLiteral("/keys"); }

// A child process that made a pool of `pieces` pieces and reported its pid
// and their native keys; once released it dies without any clean-up.
struct CrashingChild : ZHeldChild {
    explicit CrashingChild(int pieces, const QString& report = freshReportFile())
        : ZHeldChild(As::ThisUser, [=] {
              auto* pool = new ZSharedPool(QUuid::createUuid().toString(), 'C');   // never freed
              QFile out(report);
              bool ok = out.open(QIODevice::WriteOnly) && out.write(QByteArray::number(getpid()) + '\n') > 0;
              for (int i = 0; i < pieces; ++i)
                  ok = ok && out.write(pool->appendPiece()->nativeKey().toUtf8() + '\n') > 0;
              return ok;
          })
    {
        QFile in(report);
        if (held && in.open(QIODevice::ReadOnly))
            keyFiles = QString::fromUtf8(in.readAll()).split('\n', Qt::SkipEmptyParts);
        pid = keyFiles.isEmpty() ? -1 : keyFiles.takeFirst().toInt();
    }

    pid_t pid = -1;
    QStringList keyFiles;
};

QByteArray native(const QString& path) { return QFile::encodeName(path); }

QString keyFolder() { return segmentKeyFolder(geteuid()); }

// A ledger as this user's processes write them (0600, made anew).
bool writeLedger(const QString& path, const QByteArray& bytes)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QString ledgerPath(pid_t pid, const QString& folder = keyFolder())
{
    return folder + QStringLiteral("/SearchEngine-segments-%1-1.ledger").arg(pid);
}

// The ledger process `pid` wrote in the key folder (empty when not one).
QString ledgerOf(pid_t pid)
{
    const QStringList names =
        QDir(keyFolder()).entryList(QStringList(QStringLiteral("SearchEngine-segments-%1-*.ledger").arg(pid)));
    return names.size() == 1 ? QDir(keyFolder()).filePath(names[0]) : QString();
}

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::lstat(native(path).constData(), &st);
    return st;
}

} // namespace

TEST(StorageLedger, ParserKeepsOnlyWholeLinesNamingKeyFilesDirectlyInTheFolder)
{
    const QString folder = QStringLiteral("/t/SearchEngine-keys-0");
    const QByteArray f = native(folder);
    const QByteArray name = "qipc_sharedmemory_abc" + QByteArray(40, 'e');
    const QByteArray key = f + '/' + name;
    const QByteArray other = f + "/qipc_sharedmemory_" + QByteArray(40, '1');
    QByteArray atLimit = QByteArray(kMaxLedgerBytes - key.size() - 1, '\n') + key + '\n';
    const struct {
        const char* what;
        QByteArray bytes;
        bool accepted;
        QList<QByteArray> keys;
    } cases[] = {
        {"two keys", key + '\n' + other + '\n', true, {key, other}},
        {"each once", key + '\n' + key + '\n', true, {key}},
        {"unfinished last line", key + '\n' + other, true, {key}},
        {"parent folder", f + "/../SearchEngine-keys-0/" + name + '\n', true, {}},
        {"another folder", "/t/" + name + '\n' + "/t/SearchEngine-keys-01/" + name + '\n', true, {}},
        {"subfolder", f + "/x/" + name + '\n' + f + '/' + '/' + name + '\n', true, {}},
        {"not the key form", f + "/SearchEngine-segments-1-1.ledger\n" + f + "/bait\n" + key + "x\n", true, {}},
        {"stray bytes", key + "\r\n" + key + '\0' + '\n' + ' ' + key + '\n', true, {}},
        {"at the limit", atLimit, true, {key}},
        {"over the limit", atLimit + other + '\n', false, {}},
    };
    for (const auto& c : cases) {
        QStringList keys{QStringLiteral("stale")};
        EXPECT_EQ(parseSegmentLedger(c.bytes, folder, &keys), c.accepted) << c.what;
        QStringList expected;
        for (const QByteArray& k : c.keys)
            expected.append(QFile::decodeName(k));
        EXPECT_EQ(keys, expected) << c.what;
    }
}

TEST(StorageLedger, ACrashedRunsSegmentsAreRemovedOnceNoReaderHoldsThem)
{
    CrashingChild child(3);
    ASSERT_EQ(child.keyFiles.size(), 3);
    QList<int> ids;
    for (const QString& k : child.keyFiles) {
        ASSERT_TRUE(QFile::exists(k));
        ids.append(segmentIdOf(k));
        ASSERT_TRUE(segmentExists(ids.last()));
    }
    // While it lives, nothing of it is touched, nor our own pieces.
    ZSharedPool mine(QUuid::createUuid().toString(), 'D');
    ASSERT_TRUE(mine.appendPiece());
    const int myId = segmentIdOf(mine.piece(1)->nativeKey());
    QFile junk(ledgerPath(1));
    ASSERT_TRUE(writeLedger(junk.fileName(), "not a key file\n\n/nonexistent/qipc_sharedmemory_x\n"));
    EXPECT_EQ(removeStaleSharedSegments(), 0);
    EXPECT_FALSE(junk.exists());   // a garbage ledger goes, harmlessly
    EXPECT_TRUE(segmentExists(ids[0]));
    child.release();

    // A client still maps piece 1: its line alone is kept, in a new file.
    void* view = ::shmat(ids[0], nullptr, SHM_RDONLY);
    ASSERT_NE(view, (void*)-1);
    const QString ledger = ledgerOf(child.pid);
    const ino_t written = statOf(ledger).st_ino;
    EXPECT_EQ(removeStaleSharedSegments(), 2);
    EXPECT_TRUE(segmentExists(ids[0]));
    EXPECT_NE(statOf(ledger).st_ino, written);
    EXPECT_EQ(statOf(ledger).st_mode & 07777, 0600u);
    QFile kept(ledger);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), native(child.keyFiles[0]) + '\n');
    ::shmdt(view);
    EXPECT_EQ(removeStaleSharedSegments(), 1);
    for (int i = 0; i < ids.size(); ++i) {
        const QString& key = child.keyFiles[i];
        EXPECT_FALSE(segmentExists(ids[i])) << key.toStdString();
        EXPECT_FALSE(QFile::exists(key));
    }
    EXPECT_FALSE(QFile::exists(ledger));
    EXPECT_EQ(removeStaleSharedSegments(), 0);   // nothing of that run is left to do
    EXPECT_TRUE(segmentExists(myId));
    EXPECT_EQ(mine.piece(1)->header()->version, 1u);
}

// Another user's plants, and ledgers or key files in our folder that we did
// not make as ledgers are made, each beside a crashed run's piece ("bait")
// that it would remove if it were trusted: after the cleanup every bait
// segment and every file planted or aimed at is as it was, while a crashed
// run's own ledger still has its segments removed.
TEST(StorageLedger, NothingPlantedOrAimedAtIsTouched)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    const QString shared = OtherUser::publicTempFolder();
    const StorageProbe::TempFolderAs tmp(shared);
    ASSERT_TRUE(ensureSegmentKeyFolder());
    const QString folder = keyFolder();

    struct Bait {
        pid_t pid;
        QString keyFile;
        QByteArray ledger;   // its own ledger's bytes; the ledger itself is gone
        int segment;
        QStringList targets;
    };
    // A root file of ours outside the key folder.
    int serial = 0;
    const auto rootFile = [&](const QByteArray& bytes) {
        const QString path = shared + QStringLiteral("/root-file-%1").arg(++serial);
        return writeLedger(path, bytes) ? path : QString();
    };
    const auto asOtherUser = [](const std::function<int()>& attack) { EXPECT_EQ(OtherUser::runAs(attack), 0); };
    const auto plantFile = [](const QByteArray& path, const QByteArray& bytes) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && ::close(fd) == 0
            ? 0 : 1;
    };
    const struct {
        const char* what;
        std::function<void(Bait&)> plant;
    } attempts[] = {
        {"another user's ledger in the temporary folder naming a root file",
         [&](Bait& b) {
             b.targets << rootFile("secret\n") << ledgerPath(b.pid, shared);
             const QByteArray at = native(b.targets[1]), bytes = native(b.targets[0]) + '\n' + b.ledger;
             asOtherUser([&] { return plantFile(at, bytes); });
         }},
        {"another user's link in the temporary folder to a root file",
         [&](Bait& b) {
             b.targets << rootFile(b.ledger) << ledgerPath(b.pid, shared);
             const QByteArray to = native(b.targets[0]), at = native(b.targets[1]);
             asOtherUser([&] { return ::symlink(to.constData(), at.constData()); });
         }},
        {"a ledger that is a link to a root file",
         [&](Bait& b) {
             b.targets << rootFile(b.ledger) << ledgerPath(b.pid);
             EXPECT_TRUE(QFile::link(b.targets[0], b.targets[1]));
         }},
        {"a ledger owned by another user",
         [&](Bait& b) {
             b.targets << ledgerPath(b.pid);
             EXPECT_TRUE(writeLedger(b.targets[0], b.ledger));
             EXPECT_EQ(::chown(native(b.targets[0]).constData(), OtherUser::kUid, OtherUser::kGid), 0);
         }},
        {"a ledger others may read",
         [&](Bait& b) {
             b.targets << ledgerPath(b.pid);
             EXPECT_TRUE(writeLedger(b.targets[0], b.ledger));
             EXPECT_EQ(::chmod(native(b.targets[0]).constData(), 0640), 0);
         }},
        {"a line through ..",
         [&](Bait& b) {
             const QString name = QFileInfo(b.keyFile).fileName();
             b.targets << shared + QLatin1Char('/') + name;
             EXPECT_EQ(::link(native(b.keyFile), native(b.targets[0])), 0);
             EXPECT_TRUE(writeLedger(ledgerPath(b.pid), native(folder + QStringLiteral("/../") + name) + '\n'));
         }},
        {"a line naming a file outside the key folder",
         [&](Bait& b) {
             b.targets << QDir(shared).filePath(QStringLiteral("elsewhere/") + QFileInfo(b.keyFile).fileName());
             EXPECT_TRUE(QDir().mkpath(QFileInfo(b.targets[0]).path()));
             EXPECT_EQ(::link(native(b.keyFile), native(b.targets[0])), 0);
             EXPECT_TRUE(writeLedger(ledgerPath(b.pid), native(b.targets[0]) + '\n'));
         }},
        {"a key file that is a link",
         [&](Bait& b) {
             b.targets << folder + QStringLiteral("/qipc_sharedmemory_") + QString(40, QLatin1Char('0'));
             EXPECT_TRUE(QFile::link(b.keyFile, b.targets[0]));
             EXPECT_TRUE(writeLedger(ledgerPath(b.pid), native(b.targets[0]) + '\n'));
         }},
        {"a key file owned by another user",
         [&](Bait& b) {
             EXPECT_EQ(::chown(native(b.keyFile).constData(), OtherUser::kUid, OtherUser::kGid), 0);
             EXPECT_TRUE(writeLedger(ledgerPath(b.pid), b.ledger));
         }},
        {"a ledger of another process than the segment's",
         [&](Bait& b) { EXPECT_TRUE(writeLedger(ledgerPath(1), b.ledger)); }},
        {"a segment another user's process made under our key file",
         [&](Bait& b) {
             ::shmctl(b.segment, IPC_RMID, nullptr);
             const QByteArray keyFile = native(b.keyFile);
             asOtherUser([&] {
                 const key_t key = ::ftok(keyFile.constData(), 'Q');
                 return key != -1 && ::shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600) != -1 ? 0 : 1;
             });
             b.segment = segmentIdOf(b.keyFile);
             shmid_ds info{};
             EXPECT_EQ(::shmctl(b.segment, IPC_STAT, &info), 0);
             EXPECT_TRUE(writeLedger(ledgerPath(info.shm_cpid), b.ledger));
         }},
    };

    std::vector<Bait> baits;
    std::vector<QByteArray> before;
    QList<int> crashedIds;
    // However the test ends, no segment and no plant is left.
    const auto cleanup = qScopeGuard([&] {
        for (const Bait& b : baits)
            ::shmctl(b.segment, IPC_RMID, nullptr);
        for (int id : crashedIds)
            ::shmctl(id, IPC_RMID, nullptr);
        QDir(shared).removeRecursively();
    });
    for (const auto& attempt : attempts) {
        CrashingChild child(1);
        ASSERT_EQ(child.keyFiles.size(), 1) << attempt.what;
        child.release();
        QFile ledger(ledgerOf(child.pid));
        baits.push_back(Bait{child.pid, child.keyFiles[0], {}, segmentIdOf(child.keyFiles[0]), {}});
        Bait& b = baits.back();
        ASSERT_TRUE(ledger.open(QIODevice::ReadOnly)) << attempt.what;
        b.ledger = ledger.readAll();
        ASSERT_TRUE(ledger.remove());
        attempt.plant(b);
        b.targets << b.keyFile;
        for (const QString& t : b.targets)
            before.push_back(fileState(t));
    }
    CrashingChild crashed(2);
    ASSERT_EQ(crashed.keyFiles.size(), 2);
    for (const QString& k : crashed.keyFiles)
        crashedIds.append(segmentIdOf(k));
    crashed.release();

    EXPECT_EQ(removeStaleSharedSegments(), 2);
    for (const QString& k : crashed.keyFiles)
        EXPECT_FALSE(QFile::exists(k));
    size_t i = 0;
    for (size_t a = 0; a < baits.size(); ++a) {
        EXPECT_TRUE(segmentExists(baits[a].segment)) << attempts[a].what;
        for (const QString& t : baits[a].targets)
            EXPECT_EQ(fileState(t), before[i++]) << attempts[a].what << ": " << t.toStdString();
    }
}
