#include "storage/ZSegmentLedger.h"

#include "frame/ZLog.h"
#include "storage/ZSharedSegment.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

// The project id of the segments' ftok() keys.
constexpr int kFtokId = 'Q';
// Ledgers are this user's alone; one with any other mode was not made here.
constexpr mode_t kLedgerMode = 0600;
constexpr mode_t kModeBits = 07777;

const QLatin1String kLedgerPrefix("SearchEngine-segments-");
const QLatin1String kLedgerSuffix(".ledger");
// Ends the name of a ledger being rewritten, before it takes the ledger's place.
const QByteArray kRewriteInfix(".new-");

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// Closes a descriptor when it goes out of scope.
struct FdHolder {
    explicit FdHolder(int descriptor) : fd(descriptor) {}
    ~FdHolder()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FdHolder(const FdHolder&) = delete;
    FdHolder& operator=(const FdHolder&) = delete;
    int fd;
};

struct OwnLedger {
    std::mutex lock;
    int fd = -1;
    pid_t pid = 0;   // the process that opened fd; a forked child opens its own
    QString name;
};

OwnLedger& ownLedger()
{
    static OwnLedger ledger;
    return ledger;
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
    if (!ensureSegmentKeyFolder())
        return false;
    l.name = kLedgerPrefix + QString::number(getpid()) + QLatin1Char('-')
        + QString::number(QDateTime::currentMSecsSinceEpoch()) + kLedgerSuffix;
    const QString path = segmentKeyFolder(geteuid()) + QLatin1Char('/') + l.name;
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC,
                          kLedgerMode);
    if (fd < 0)
        return false;
    // Exactly 0600 whatever the umask: the cleanup reads no ledger of another mode.
    if (::fchmod(fd, kLedgerMode) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    l.fd = fd;
    l.pid = getpid();
    return true;
}

// The process id in a ledger's name, 0 when the name has none.
pid_t ledgerOwner(const QString& fileName)
{
    const QString rest = fileName.mid(kLedgerPrefix.size());
    bool ok = false;
    const long pid = rest.left(rest.indexOf(QLatin1Char('-'))).toLong(&ok);
    return ok && pid > 0 ? pid_t(pid) : 0;
}

// A ledger this user's processes made: a regular file of the effective user
// with mode 0600.
bool isOwnLedger(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & kModeBits) == kLedgerMode;
}

enum class SegmentState { Removed, Gone, InUse };

// Settles one segment a ledger names by its key file in the key folder
// (dirFd). It is removed, with its key file, only if the key file is a
// regular file of ours and the segment is ours, made by the ledger's process
// (ftok keys can clash, so the key alone could name a stranger's segment)
// and unattached. Anything else is left alone, a key file without a segment
// too (a live process may be creating it). parseSegmentLedger() vouches that
// keyFile is a name directly inside the folder.
SegmentState settleSegment(int dirFd, const QString& keyFile, pid_t creator)
{
    const QByteArray path = native(keyFile);
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
        || st.st_uid != geteuid())
        return SegmentState::Gone;
    const key_t key = ::ftok(path.constData(), kFtokId);
    const int id = key == -1 ? -1 : ::shmget(key, 0, 0);
    shmid_ds info{};
    if (id == -1 || ::shmctl(id, IPC_STAT, &info) != 0)
        return SegmentState::Gone;
    if (info.shm_cpid != creator || info.shm_perm.uid != geteuid() || info.shm_perm.cuid != geteuid())
        return SegmentState::Gone;   // ours went; the key now names another segment
    if (info.shm_nattch != 0)
        return SegmentState::InUse;   // a client still reads it; a later start retries
    if (::shmctl(id, IPC_RMID, nullptr) != 0)
        return SegmentState::InUse;
    ::unlinkat(dirFd, name.constData(), 0);
    return SegmentState::Removed;
}

// Puts a new file holding `bytes` in the ledger's place: the ledger itself,
// once opened by name, is never written.
bool replaceLedger(int dirFd, const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray temp = name + kRewriteInfix + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    const int fd = ::openat(dirFd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            kLedgerMode);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, kLedgerMode) == 0 && writeAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok && ::renameat(dirFd, temp.constData(), dirFd, name.constData()) == 0)
        return true;
    ::unlinkat(dirFd, temp.constData(), 0);
    return false;
}

// Cleans one ledger in the key folder (dirFd, path `folder`) if it is ours
// and its process is gone; returns the segments removed.
int cleanLedger(int dirFd, const QString& folder, const QString& fileName)
{
    const pid_t creator = ledgerOwner(fileName);
    if (creator == 0)
        return 0;
    const QByteArray name = native(fileName);
    // O_NONBLOCK: a FIFO under a ledger's name must not hold the start up.
    const FdHolder ledger(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (ledger.fd < 0 || ::fstat(ledger.fd, &st) != 0 || !isOwnLedger(st))
        return 0;
    if (::flock(ledger.fd, LOCK_EX | LOCK_NB) != 0)
        return 0;   // its process is alive
    QStringList keyFiles;
    QFile in;
    if (st.st_size > kMaxLedgerBytes || !in.open(ledger.fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        || !parseSegmentLedger(in.read(kMaxLedgerBytes + 1), folder, &keyFiles)) {
        LOG(WARNING) << "segment ledger " << fileName << " is too long to be one; left alone";
        return 0;
    }
    int removed = 0;
    QByteArray kept;
    for (const QString& keyFile : keyFiles) {
        switch (settleSegment(dirFd, keyFile, creator)) {
        case SegmentState::Removed:
            ++removed;
            break;
        case SegmentState::Gone:
            break;
        case SegmentState::InUse:
            kept += native(keyFile) + '\n';
            break;
        }
    }
    if (kept.isEmpty())
        ::unlinkat(dirFd, name.constData(), 0);
    else if (kept.size() != st.st_size)   // kept lines are a part of the ledger's: equal sizes, nothing dropped
        replaceLedger(dirFd, name, kept);
    return removed;
}

} // namespace

bool parseSegmentLedger(const QByteArray& bytes, const QString& keyFolder, QStringList* keyFiles)
{
    keyFiles->clear();
    if (bytes.size() > kMaxLedgerBytes)
        return false;
    const QByteArray folder = native(keyFolder) + '/';
    QSet<QByteArray> seen;
    // An unfinished last line was cut by a crash and may name another file.
    for (int start = 0, end; (end = bytes.indexOf('\n', start)) >= 0; start = end + 1) {
        const QByteArray line = bytes.mid(start, end - start);
        if (!line.startsWith(folder))
            continue;
        const QByteArray name = line.mid(folder.size());
        if (!isSegmentKeyFileName(QString::fromLatin1(name.constData(), name.size())) || seen.contains(name))
            continue;
        seen.insert(name);
        keyFiles->append(QFile::decodeName(line));
    }
    return true;
}

void noteCreatedSegment(const QString& keyFile)
{
    OwnLedger& l = ownLedger();
    std::lock_guard<std::mutex> guard(l.lock);
    if (!openOwnLedger(l))
        return;
    writeAll(l.fd, native(keyFile) + '\n');
}

void retireOwnSegmentLedger()
{
    OwnLedger& l = ownLedger();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.fd < 0 || l.pid != getpid())
        return;
    const QString folder = segmentKeyFolder(geteuid());
    const FdHolder dir(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Closing gives the lock up, so the ledger reads as a finished process's.
    ::close(l.fd);
    l.fd = -1;
    struct stat st;
    if (dir.fd >= 0 && ::fstat(dir.fd, &st) == 0 && ownedAndClosed(st, geteuid()))
        cleanLedger(dir.fd, folder, l.name);
}

int removeStaleSharedSegments()
{
    QString error;
    if (!ensureSegmentKeyFolder(&error)) {
        LOG(WARNING) << "stale segments not looked for: " << error;
        return 0;
    }
    QString own;
    {
        OwnLedger& l = ownLedger();
        std::lock_guard<std::mutex> guard(l.lock);
        if (l.fd >= 0 && l.pid == getpid())
            own = l.name;
    }
    // Everything below goes through this descriptor of the checked folder.
    const QString folder = segmentKeyFolder(geteuid());
    const FdHolder dir(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (dir.fd < 0 || ::fstat(dir.fd, &st) != 0 || !ownedAndClosed(st, geteuid()))
        return 0;
    const QStringList ledgers = QDir(folder).entryList(QStringList(kLedgerPrefix + QLatin1Char('*') + kLedgerSuffix),
                                                       QDir::Files | QDir::System);
    int removed = 0;
    for (const QString& name : ledgers) {
        if (name != own)
            removed += cleanLedger(dir.fd, folder, name);
    }
    return removed;
}

} // namespace SearchEngine
