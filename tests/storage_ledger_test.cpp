// Segments left by a crashed process: the ledger of every segment a process
// creates, and the start-up cleanup that removes what dead processes left
// unattached while sparing live processes and attached readers.
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedPool.h"

#include <QDir>
#include <QFile>
#include <QSharedMemory>
#include <QUuid>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace SearchEngine;

namespace {

key_t ftokOf(const QString& keyFile)
{
    return ::ftok(QFile::encodeName(keyFile).constData(), 'Q');
}

// Segments are followed by id, not key: once a segment is gone its key may
// be taken by another process's segment at any time.
int segmentId(key_t key)
{
    return key == -1 ? -1 : ::shmget(key, 0, 0);
}

bool segmentExists(int id)
{
    shmid_ds info{};
    return id != -1 && ::shmctl(id, IPC_STAT, &info) == 0;
}

// Runs body in a child that then dies without any clean-up, as in a crash.
// The child writes its pieces' native keys to the pipe first.
QStringList crashAfter(const std::function<QStringList()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const QByteArray keys = body().join(QLatin1Char('\n')).toUtf8();
        if (::write(fds[1], keys.constData(), size_t(keys.size())) < 0)
            ::_exit(2);
        ::_exit(0);   // no destructors: the segments stay behind
    }
    ::close(fds[1]);
    QByteArray keys;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        keys.append(buffer, int(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return QString::fromUtf8(keys).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList poolWithPieces(int pieces)
{
    auto* pool = new ZSharedPool(QUuid::createUuid().toString(), 'C');   // never freed: a crash
    QStringList keys;
    for (int i = 0; i < pieces; ++i)
        keys.append(pool->appendPiece()->nativeKey());
    return keys;
}

} // namespace

TEST(StorageLedger, ACrashedRunsSegmentsAreRemovedAtTheNextStart)
{
    const QStringList keys = crashAfter([] { return poolWithPieces(3); });
    ASSERT_EQ(keys.size(), 3);
    QList<int> ids;
    for (const QString& k : keys) {
        ASSERT_TRUE(QFile::exists(k));
        ids.append(segmentId(ftokOf(k)));
        EXPECT_TRUE(segmentExists(ids.last()));
    }
    EXPECT_EQ(removeStaleSharedSegments(), 3);
    for (int i = 0; i < keys.size(); ++i) {
        EXPECT_FALSE(segmentExists(ids[i])) << keys[i].toStdString();
        EXPECT_FALSE(QFile::exists(keys[i]));
        QString semaphore = keys[i];
        semaphore.replace(QLatin1String("qipc_sharedmemory_"), QLatin1String("qipc_systemsem_"));
        EXPECT_FALSE(QFile::exists(semaphore));
    }
    // Nothing of that run is left to do.
    EXPECT_EQ(removeStaleSharedSegments(), 0);
}

TEST(StorageLedger, LivePiecesAreNeverTouched)
{
    ZSharedPool mine(QUuid::createUuid().toString(), 'C');
    ASSERT_TRUE(mine.appendPiece());
    const int myId = segmentId(ftokOf(mine.piece(1)->nativeKey()));

    // Another live process with a piece of its own.
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ZSharedPool theirs(QUuid::createUuid().toString(), 'D');
        const QByteArray key = theirs.appendPiece() ? theirs.piece(1)->nativeKey().toUtf8() : QByteArray();
        if (::write(fromChild[1], key.constData(), size_t(key.size())) < 0)
            ::_exit(2);
        ::close(fromChild[1]);
        char go;
        const ssize_t n = ::read(toChild[0], &go, 1);
        theirs.clear();
        ::_exit(n == 1 ? 0 : 3);
    }
    ::close(fromChild[1]);
    char buffer[512];
    const ssize_t n = ::read(fromChild[0], buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    const int theirId = segmentId(ftokOf(QString::fromUtf8(buffer, int(n))));

    EXPECT_EQ(removeStaleSharedSegments(), 0);
    EXPECT_TRUE(segmentExists(myId));
    EXPECT_TRUE(segmentExists(theirId));
    ASSERT_EQ(::write(toChild[1], "x", 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(segmentExists(theirId));   // its orderly exit removed it
    EXPECT_EQ(mine.piece(1)->header()->version, 1u);
}

TEST(StorageLedger, ASegmentAReaderStillHoldsIsKeptUntilLater)
{
    const QStringList keys = crashAfter([] { return poolWithPieces(2); });
    ASSERT_EQ(keys.size(), 2);
    const int held = segmentId(ftokOf(keys[0]));
    const int loose = segmentId(ftokOf(keys[1]));
    // A client still maps piece 1.
    ASSERT_NE(held, -1);
    void* view = ::shmat(held, nullptr, SHM_RDONLY);
    ASSERT_NE(view, (void*)-1);

    EXPECT_EQ(removeStaleSharedSegments(), 1);
    EXPECT_TRUE(segmentExists(held));
    EXPECT_FALSE(segmentExists(loose));

    ::shmdt(view);
    EXPECT_EQ(removeStaleSharedSegments(), 1);
    EXPECT_FALSE(segmentExists(held));
    EXPECT_FALSE(QFile::exists(keys[0]));
}

TEST(StorageLedger, GarbageLedgersAreHarmless)
{
    QFile junk(QDir::tempPath() + QStringLiteral("/SearchEngine-segments-1-1.ledger"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a key file\n\n/nonexistent/qipc_sharedmemory_x\n");
    junk.close();
    EXPECT_EQ(removeStaleSharedSegments(), 0);
    EXPECT_FALSE(junk.exists());
}
