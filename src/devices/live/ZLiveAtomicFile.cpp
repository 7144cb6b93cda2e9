#include "devices/live/ZLiveAtomicFile.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Platform {

namespace {

constexpr int kFileMode = 0600;

} // namespace

bool liveWriteAll(int fd, const void* data, size_t bytes, const ZLiveWriteFault& fault, bool* killed)
{
    const size_t allowed = fault ? std::min(bytes, fault(bytes)) : bytes;
    if (killed)
        *killed = allowed < bytes;
    const auto* p = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < allowed) {
        const ssize_t n = ::write(fd, p + done, allowed - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    if (allowed < bytes)
        errno = EIO;
    return allowed == bytes;
}

ZLiveFileReplacement::ZLiveFileReplacement(const QString& path, const ZLiveWriteFault& fault)
    : path_(path), target_(QFile::encodeName(path)), temp_(target_ + kLiveTempSuffix), fault_(fault)
{
    ::unlink(temp_.constData());
    fd_ = ::open(temp_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd_ < 0)
        error_ = errno;
}

ZLiveFileReplacement::~ZLiveFileReplacement()
{
    drop();
}

bool ZLiveFileReplacement::fail()
{
    if (!error_)
        error_ = errno ? errno : EIO;
    drop();
    return false;
}

void ZLiveFileReplacement::drop()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    if (!killed_)
        ::unlink(temp_.constData());
}

bool ZLiveFileReplacement::append(const void* data, size_t bytes)
{
    if (fd_ < 0)
        return false;
    bool killed = false;
    if (!liveWriteAll(fd_, data, bytes, fault_, &killed)) {
        killed_ = killed;
        return fail();
    }
    return true;
}

bool ZLiveFileReplacement::writeAt(size_t offset, const void* data, size_t bytes)
{
    if (fd_ < 0)
        return false;
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0 || ::lseek(fd_, off_t(offset), SEEK_SET) < 0)
        return fail();
    if (!append(data, bytes))
        return false;
    return ::lseek(fd_, end, SEEK_SET) >= 0 || fail();
}

bool ZLiveFileReplacement::commit(QString* error)
{
    bool ok = fd_ >= 0 && (fsync(fd_) == 0 || fail());
    if (ok) {
        ::close(fd_);
        fd_ = -1;
        ok = ::rename(temp_.constData(), target_.constData()) == 0 || fail();
        if (!ok)
            ::unlink(temp_.constData());
    }
    if (!ok) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path_, QString::fromLocal8Bit(strerror(error_ ? error_ : EIO)));
        return false;
    }
    // The rename made durable: the folder's entry is flushed too.
    const int slash = path_.lastIndexOf(QLatin1Char('/'));
    const QByteArray folder = slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : QFile::encodeName(path_.left(slash));
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool liveReplaceFile(const QString& path, const void* data, size_t bytes, QString* error,
                     const ZLiveWriteFault& fault, bool* killed)
{
    ZLiveFileReplacement file(path, fault);
    file.append(data, bytes);
    const bool ok = file.commit(error);   // fails with the append's reason too
    if (killed)
        *killed = file.killed();
    return ok;
}

} // namespace Platform
