#include "storage/ZSegmentLedger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

// Qt names the key files of a QSharedMemory and of its lock semaphore with
// these prefixes followed by the same text derived from the key.
const QLatin1String kSegmentKeyPrefix("qipc_sharedmemory_");
const QLatin1String kSemaphoreKeyPrefix("qipc_systemsem_");
// The project id Qt passes to ftok for both.
constexpr int kQtFtokId = 'Q';

const QLatin1String kLedgerPrefix("SearchEngine-segments-");
const QLatin1String kLedgerSuffix(".ledger");

struct OwnLedger {
    std::mutex lock;
    int fd = -1;
    pid_t pid = 0;   // the process that opened fd; a forked child opens its own
    QString path;
};

OwnLedger& ownLedger()
{
    static OwnLedger ledger;
    return ledger;
}

// Opens this process's ledger on first use and holds its lock for the life
// of the process (the lock goes with the process, however it ends).
bool openOwnLedger(OwnLedger& l)
{
    if (l.fd >= 0 && l.pid == getpid())
        return true;
    if (l.fd >= 0) {
        // Inherited through fork: the lock stays with the parent's ledger.
        ::close(l.fd);
        l.fd = -1;
    }
    l.path = QDir::tempPath() + QLatin1Char('/') + kLedgerPrefix + QString::number(getpid())
        + QLatin1Char('-') + QString::number(QDateTime::currentMSecsSinceEpoch()) + kLedgerSuffix;
    const int fd = ::open(QFile::encodeName(l.path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    l.fd = fd;
    l.pid = getpid();
    return true;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

QString semaphoreKeyFor(const QString& segmentKeyPath)
{
    const int slash = segmentKeyPath.lastIndexOf(QLatin1Char('/'));
    const QString file = segmentKeyPath.mid(slash + 1);
    if (!file.startsWith(kSegmentKeyPrefix))
        return QString();
    return segmentKeyPath.left(slash + 1) + kSemaphoreKeyPrefix + file.mid(kSegmentKeyPrefix.size());
}

void removeSemaphore(const QString& path)
{
    if (path.isEmpty() || !QFile::exists(path))
        return;
    const key_t key = ::ftok(QFile::encodeName(path).constData(), kQtFtokId);
    if (key != -1) {
        const int id = ::semget(key, 1, 0);
        if (id != -1)
            ::semctl(id, 0, IPC_RMID);
    }
    QFile::remove(path);
}

enum class SegmentState { Removed, Gone, InUse };

// Removes one segment named by its key file if nothing is attached to it
// and the ledger's process made it (ftok keys can clash, so the key alone
// could name a stranger's segment).
SegmentState removeIfUnattached(const QString& keyPath, pid_t creator)
{
    if (!QFile::exists(keyPath))
        return SegmentState::Gone;   // removed by its last user, as Qt does on detach
    const key_t key = ::ftok(QFile::encodeName(keyPath).constData(), kQtFtokId);
    if (key == -1)
        return SegmentState::Gone;
    const int id = ::shmget(key, 0, 0);
    if (id == -1) {
        // The key file outlived its segment: no one can attach through it.
        QFile::remove(keyPath);
        removeSemaphore(semaphoreKeyFor(keyPath));
        return SegmentState::Gone;
    }
    shmid_ds info{};
    if (::shmctl(id, IPC_STAT, &info) != 0)
        return SegmentState::InUse;
    if (info.shm_cpid != creator) {
        // Ours went; the key now names someone else's segment.
        QFile::remove(keyPath);
        removeSemaphore(semaphoreKeyFor(keyPath));
        return SegmentState::Gone;
    }
    if (info.shm_nattch != 0)
        return SegmentState::InUse;   // a client still reads it; a later start retries
    ::shmctl(id, IPC_RMID, nullptr);
    QFile::remove(keyPath);
    removeSemaphore(semaphoreKeyFor(keyPath));
    return SegmentState::Removed;
}

QByteArray readAllFrom(int fd)
{
    QByteArray all;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(buffer, int(n));
    }
    return all;
}

// The process id in a ledger's name, 0 when the name has none.
pid_t ledgerOwner(const QString& fileName)
{
    const QString rest = fileName.mid(kLedgerPrefix.size());
    bool ok = false;
    const long pid = rest.left(rest.indexOf(QLatin1Char('-'))).toLong(&ok);
    return ok && pid > 0 ? pid_t(pid) : 0;
}

// Cleans one ledger whose owner is gone; returns the segments removed.
int cleanLedger(const QString& path, pid_t creator)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {   // its process is alive
        ::close(fd);
        return 0;
    }
    int removed = 0;
    QByteArray kept;
    const QList<QByteArray> lines = readAllFrom(fd).split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QString keyPath = QFile::decodeName(line);
        switch (removeIfUnattached(keyPath, creator)) {
        case SegmentState::Removed:
            ++removed;
            break;
        case SegmentState::Gone:
            break;
        case SegmentState::InUse:
            kept += line + '\n';
            break;
        }
    }
    if (kept.isEmpty()) {
        ::unlink(QFile::encodeName(path).constData());
    } else if (::ftruncate(fd, 0) == 0) {
        ::lseek(fd, 0, SEEK_SET);
        writeAll(fd, kept);
    }
    ::close(fd);
    return removed;
}

} // namespace

void noteCreatedSegment(const QString& nativeKey)
{
    OwnLedger& l = ownLedger();
    std::lock_guard<std::mutex> guard(l.lock);
    if (!openOwnLedger(l))
        return;
    writeAll(l.fd, QFile::encodeName(nativeKey) + '\n');
}

int removeStaleSharedSegments()
{
    QString own;
    {
        OwnLedger& l = ownLedger();
        std::lock_guard<std::mutex> guard(l.lock);
        own = l.path;
    }
    QDir dir(QDir::tempPath());
    const QStringList ledgers = dir.entryList(QStringList(kLedgerPrefix + QLatin1Char('*') + kLedgerSuffix),
                                              QDir::Files | QDir::Hidden);
    int removed = 0;
    for (const QString& name : ledgers) {
        const QString path = dir.filePath(name);
        if (path == own)
            continue;
        removed += cleanLedger(path, ledgerOwner(name));
    }
    return removed;
}

} // namespace SearchEngine
