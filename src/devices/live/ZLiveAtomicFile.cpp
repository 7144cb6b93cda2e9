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

bool liveReplaceFile(const QString& path, const void* data, size_t bytes, QString* error,
                     const ZLiveWriteFault& fault, bool* killed)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temp = target + kLiveTempSuffix;
    bool wasKilled = false;
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    bool ok = fd >= 0 && liveWriteAll(fd, data, bytes, fault, &wasKilled) && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0)
        ::close(fd);
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    if (killed)
        *killed = wasKilled;
    if (!ok) {
        if (!wasKilled)   // a killed process leaves its twin behind; the next write replaces it
            ::unlink(temp.constData());
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(strerror(err ? err : errno)));
        return false;
    }
    // The rename made durable: the folder's entry is flushed too.
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QByteArray folder = slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : QFile::encodeName(path.left(slash));
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace Platform
