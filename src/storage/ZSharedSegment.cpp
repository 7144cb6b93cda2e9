#include "storage/ZSharedSegment.h"

#include "win32/ZErrorLog.h"
#include "wire/ZServiceLocation.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSharedMemory>

#include <cerrno>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

const QLatin1String kKeyFolderPrefix("SearchEngine-keys-");
// The project id of the ftok() keys, as Qt uses it.
constexpr int kFtokId = 'Q';
constexpr mode_t kKeyFolderMode = 0755;
constexpr mode_t kKeyFileMode = 0600;
constexpr mode_t kSegmentMode = 0600;
constexpr mode_t kGroupSegmentMode = 0640;
// Room for one group entry of getgrnam_r (its member list included).
constexpr size_t kGroupEntryBuffer = 1 << 16;
// A fresh key file whose ftok() key an unrelated segment holds is set aside
// (keeping its inode from being handed out again) and made anew, this often.
constexpr int kKeyClashRetries = 8;

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// A key folder that may be trusted: a directory (not a link), owned by
// `owner`, writable by no one else.
bool trustedFolder(const QString& path, uid_t owner)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) && ownedAndClosed(st, owner);
}

// A key file made by `owner`: a regular file, not a link.
bool trustedKeyFile(const QString& path, uid_t owner)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner;
}

key_t keyOf(const QString& keyFile)
{
    return ::ftok(native(keyFile).constData(), kFtokId);
}

// Hands a new segment to the segment group, if one is named; a group that
// cannot be used leaves the segment private.
void shareWithGroup(int id)
{
    gid_t gid = 0;
    QString error;
    if (!segmentGroup(&gid, &error)) {
        if (!error.isEmpty()) {
            Platform::logPlatformError(QStringLiteral("segment stays private: ") + error);
        }
        return;
    }
    shmid_ds info{};
    if (::shmctl(id, IPC_STAT, &info) == 0) {
        info.shm_perm.gid = gid;
        info.shm_perm.mode = kGroupSegmentMode;
        if (::shmctl(id, IPC_SET, &info) == 0)
            return;
    }
    Platform::logPlatformError(QStringLiteral("segment stays private: cannot hand it to group %1: %2")
                                   .arg(uint(gid))
                                   .arg(QString::fromLocal8Bit(strerror(errno))));
}

bool makeKeyFile(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kKeyFileMode);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

const char kSegmentGroupVariable[] = "SEARCH_SEGMENT_GROUP";

bool segmentGroup(gid_t* gid, QString* error)
{
    const QByteArray name = qgetenv(kSegmentGroupVariable);
    if (name.isEmpty())
        return false;
    bool number = false;
    const uint id = name.toUInt(&number);
    if (number) {
        *gid = gid_t(id);
        return true;
    }
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(kGroupEntryBuffer);
    if (::getgrnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        *gid = found->gr_gid;
        return true;
    }
    if (error)
        *error = QStringLiteral("no group %1 (named by %2)").arg(QString::fromLocal8Bit(name), QLatin1String(kSegmentGroupVariable));
    return false;
}

bool ownedAndClosed(const struct stat& st, uid_t owner)
{
    // Write bits for group or others would let them plant entries.
    return st.st_uid == owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString segmentKeyFolder(uid_t owner)
{
    return ZServiceLocation::runtimeFolder() + QLatin1Char('/') + kKeyFolderPrefix + QString::number(owner);
}

bool ensureSegmentKeyFolder(QString* error)
{
    const QString folder = segmentKeyFolder(geteuid());
    if (::mkdir(native(folder).constData(), kKeyFolderMode) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (!trustedFolder(folder, geteuid())) {
        if (error)
            *error = QStringLiteral("%1: not a folder of this user's that no one else can write").arg(folder);
        return false;
    }
    return true;
}

QString segmentKeyFile(const QString& key, uid_t owner)
{
    // Qt's name for the key, in the owner's folder.
    const QString qtPath = QSharedMemory(key).nativeKey();
    return segmentKeyFolder(owner) + QLatin1Char('/') + qtPath.mid(qtPath.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isSegmentKeyFileName(const QString& fileName)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("qipc_sharedmemory_[A-Za-z]*[0-9a-f]{40}")));
    return form.match(fileName).hasMatch();
}

ZSharedSegment::ZSharedSegment(const QString& key)
    : key_(key)
{
}

ZSharedSegment::~ZSharedSegment()
{
    detach();
}

QString ZSharedSegment::keyFile() const
{
    return segmentKeyFile(key_, geteuid());
}

bool ZSharedSegment::create(int size)
{
    detach();
    if (!ensureSegmentKeyFolder()) {
        error_ = KeyFolderUnusable;
        return false;
    }
    const QString file = keyFile();
    if (!makeKeyFile(file)) {
        errno_ = errno;
        error_ = errno == EEXIST ? AlreadyExists : Failed;
        return false;
    }
    QStringList parked;
    int id = -1;
    for (;;) {
        const key_t key = keyOf(file);
        id = key == -1 ? -1 : ::shmget(key, size_t(size), IPC_CREAT | IPC_EXCL | kSegmentMode);
        if (id >= 0 || errno != EEXIST || parked.size() >= kKeyClashRetries)
            break;
        // The key file is new, so the segment holding its key is a stranger's.
        const QString aside = file + QStringLiteral(".clash") + QString::number(parked.size());
        if (::rename(native(file).constData(), native(aside).constData()) != 0 || !makeKeyFile(file))
            break;
        parked.append(aside);
    }
    errno_ = errno;
    for (const QString& p : parked)
        ::unlink(native(p).constData());
    if (id < 0) {
        ::unlink(native(file).constData());
        error_ = (errno_ == ENOSPC || errno_ == ENOMEM || errno_ == EINVAL) ? OutOfResources : Failed;
        return false;
    }
    shareWithGroup(id);
    void* at = ::shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) {
        errno_ = errno;
        ::shmctl(id, IPC_RMID, nullptr);
        ::unlink(native(file).constData());
        error_ = Failed;
        return false;
    }
    data_ = at;
    size_ = size;
    id_ = id;
    created_ = true;
    createdKeyFile_ = file;
    error_ = NoError;
    return true;
}

bool ZSharedSegment::attach(const SegmentOwner& owner, bool readOnly)
{
    detach();
    const QString folder = segmentKeyFolder(owner.uid);
    const QString file = segmentKeyFile(key_, owner.uid);
    if (!trustedFolder(folder, owner.uid) || !trustedKeyFile(file, owner.uid)) {
        error_ = QFile::exists(file) ? NotTrusted : NotFound;
        return false;
    }
    const key_t key = keyOf(file);
    const int id = key == -1 ? -1 : ::shmget(key, 0, 0);
    if (id < 0) {
        errno_ = errno;
        error_ = errno == ENOENT ? NotFound : Failed;
        return false;
    }
    // The key alone proves nothing: ftok keys can clash, and anyone may make
    // a segment under any key. Its owner and creator must be the expected ones.
    shmid_ds info{};
    if (::shmctl(id, IPC_STAT, &info) != 0 || info.shm_perm.uid != owner.uid || info.shm_perm.cuid != owner.uid
        || (owner.pid && info.shm_cpid != owner.pid)) {
        error_ = NotTrusted;
        return false;
    }
    void* at = ::shmat(id, nullptr, readOnly ? SHM_RDONLY : 0);
    if (at == reinterpret_cast<void*>(-1)) {
        errno_ = errno;
        error_ = Failed;
        return false;
    }
    data_ = at;
    size_ = int(info.shm_segsz);
    id_ = id;
    error_ = NoError;
    return true;
}

void ZSharedSegment::detach()
{
    if (!data_)
        return;
    ::shmdt(data_);
    data_ = nullptr;
    size_ = 0;
    if (created_) {
        // Marked for removal: it goes once its last reader detaches.
        ::shmctl(id_, IPC_RMID, nullptr);
        ::unlink(native(createdKeyFile_).constData());
        created_ = false;
        createdKeyFile_.clear();
    }
    id_ = -1;
}

QString ZSharedSegment::errorString() const
{
    switch (error_) {
    case NoError: return QString();
    case AlreadyExists: return QStringLiteral("the key is taken");
    case NotFound: return QStringLiteral("no such segment");
    case NotTrusted: return QStringLiteral("the segment or its key file was not made by the expected user");
    case KeyFolderUnusable: return QStringLiteral("the key folder cannot be used");
    case OutOfResources: return QStringLiteral("out of shared memory: %1").arg(QString::fromLocal8Bit(strerror(errno_)));
    case Failed: break;
    }
    return QString::fromLocal8Bit(strerror(errno_));
}

} // namespace SearchEngine
