// Segments left by a crashed process: the ledger of every segment a process
// creates, and the start-up cleanup that removes what dead processes left
// unattached while sparing live processes and attached readers.
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedPool.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace SearchEngine;

namespace {

// Segments are followed by id, not key: once a segment is gone its key may
// be taken by another process's segment at any time.
int segmentId(const QString& keyFile)
{
    const key_t key = ::ftok(QFile::encodeName(keyFile).constData(), 'Q');
    return key == -1 ? -1 : ::shmget(key, 0, 0);
}

bool segmentExists(int id)
{
    shmid_ds info{};
    return id != -1 && ::shmctl(id, IPC_STAT, &info) == 0;
}

// A child process that made a pool of `pieces` pieces and reported their
// native keys; once crash() is called it dies without any clean-up.
struct CrashingChild {
    explicit CrashingChild(int pieces)
    {
        int keys[2], hold[2];
        if (::pipe(keys) != 0 || ::pipe(hold) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(keys[0]);
            ::close(hold[1]);
            auto* pool = new ZSharedPool(QUuid::createUuid().toString(), 'C');   // never freed
            QByteArray text;
            for (int i = 0; i < pieces; ++i)
                text += pool->appendPiece()->nativeKey().toUtf8() + '\n';
            char any;
            const bool ok = ::write(keys[1], text.constData(), size_t(text.size())) == text.size();
            ::close(keys[1]);
            ::_exit(ok && ::read(hold[0], &any, 1) == 0 ? 0 : 2);   // no destructors
        }
        ::close(keys[1]);
        ::close(hold[0]);
        holdFd = hold[1];
        QByteArray text;
        char buffer[1024];
        ssize_t n;
        while ((n = ::read(keys[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, int(n));
        ::close(keys[0]);
        keyFiles = QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    int crash()
    {
        ::close(holdFd);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WEXITSTATUS(status);
    }

    pid_t pid = -1;
    int holdFd = -1;
    QStringList keyFiles;
};

} // namespace

TEST(StorageLedger, ACrashedRunsSegmentsAreRemovedOnceNoReaderHoldsThem)
{
    CrashingChild child(3);
    ASSERT_EQ(child.keyFiles.size(), 3);
    QList<int> ids;
    for (const QString& k : child.keyFiles) {
        ASSERT_TRUE(QFile::exists(k));
        ids.append(segmentId(k));
        ASSERT_TRUE(segmentExists(ids.last()));
    }
    // While it lives, nothing of it is touched, nor our own pieces.
    ZSharedPool mine(QUuid::createUuid().toString(), 'D');
    ASSERT_TRUE(mine.appendPiece());
    const int myId = segmentId(mine.piece(1)->nativeKey());
    QFile junk(QDir::tempPath() + QStringLiteral("/SearchEngine-segments-1-1.ledger"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a key file\n\n/nonexistent/qipc_sharedmemory_x\n");
    junk.close();
    EXPECT_EQ(removeStaleSharedSegments(), 0);
    EXPECT_FALSE(junk.exists());   // a garbage ledger goes, harmlessly
    EXPECT_TRUE(segmentExists(ids[0]));
    EXPECT_EQ(child.crash(), 0);

    // A client still maps piece 1.
    void* view = ::shmat(ids[0], nullptr, SHM_RDONLY);
    ASSERT_NE(view, (void*)-1);
    EXPECT_EQ(removeStaleSharedSegments(), 2);
    EXPECT_TRUE(segmentExists(ids[0]));
    ::shmdt(view);
    EXPECT_EQ(removeStaleSharedSegments(), 1);
    for (int i = 0; i < ids.size(); ++i) {
        const QString& key = child.keyFiles[i];
        EXPECT_FALSE(segmentExists(ids[i])) << key.toStdString();
        EXPECT_FALSE(QFile::exists(key));
        EXPECT_FALSE(QFile::exists(QString(key).replace(QLatin1String("qipc_sharedmemory_"),
                                                        QLatin1String("qipc_systemsem_"))));
    }
    EXPECT_EQ(removeStaleSharedSegments(), 0);   // nothing of that run is left to do
    EXPECT_TRUE(segmentExists(myId));
    EXPECT_EQ(mine.piece(1)->header()->version, 1u);
}
