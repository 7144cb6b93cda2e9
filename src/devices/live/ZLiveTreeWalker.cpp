#include "devices/live/ZLiveTreeWalker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace Platform {

namespace {

constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 as FILETIME
constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000ull;
constexpr ULONGLONG kNanosecondsPerTick = 100;
constexpr size_t kDirentBufferBytes = 64 * 1024;
constexpr DWORD kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

// The kernel's struct linux_dirent64.
struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

ULONGLONG fileTime(const struct statx_timestamp& t)
{
    if (t.tv_sec < -LONGLONG(kFileTimeUnixEpoch / kFileTimeTicksPerSecond))
        return 0;
    return kFileTimeUnixEpoch + ULONGLONG(t.tv_sec * LONGLONG(kFileTimeTicksPerSecond))
        + t.tv_nsec / kNanosecondsPerTick;
}

} // namespace

bool LiveFileStat::directory() const
{
    return S_ISDIR(mode);
}

bool LiveFileStat::symlink() const
{
    return S_ISLNK(mode);
}

DWORD LiveFileStat::attributes(const std::string& name) const
{
    DWORD a = 0;
    if (directory())
        a |= FILE_ATTRIBUTE_DIRECTORY;
    if (symlink())
        a |= FILE_ATTRIBUTE_REPARSE_POINT;
    else if (!(mode & kAnyWriteBit))
        a |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.')
        a |= FILE_ATTRIBUTE_HIDDEN;
    return a ? a : DWORD(FILE_ATTRIBUTE_NORMAL);
}

bool liveStat(int dirFd, const char* name, LiveFileStat& out)
{
    struct statx sx;
    const unsigned mask = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_MTIME
        | STATX_CTIME | STATX_ATIME | STATX_BTIME;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC | (*name ? 0 : AT_EMPTY_PATH);
    if (statx(dirFd, name, flags, mask, &sx) != 0)
        return false;
    out.inode = sx.stx_ino;
    out.device = (ULONGLONG(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    out.mode = sx.stx_mode;
    out.links = sx.stx_nlink;
    out.size = S_ISREG(sx.stx_mode) ? sx.stx_size : 0;
    out.lastWriteTime = fileTime(sx.stx_mtime);
    out.changeTime = fileTime(sx.stx_ctime);
    out.lastAccessTime = fileTime(sx.stx_atime);
    out.creationTime = (sx.stx_mask & STATX_BTIME) ? fileTime(sx.stx_btime) : out.changeTime;
    return true;
}

bool liveReadDirectory(int fd, const std::function<void(const char*, size_t)>& visit)
{
    alignas(LinuxDirent64) char buffer[kDirentBufferBytes];
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        long at = 0;
        while (at < n) {
            const auto* d = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            const size_t nameOffset = offsetof(LinuxDirent64, d_name);
            if (d->d_reclen < nameOffset || at + d->d_reclen > n) {
                errno = EIO;
                return false;
            }
            const size_t room = d->d_reclen - nameOffset;
            const size_t length = strnlen(d->d_name, room);
            at += d->d_reclen;
            if (length == room)
                continue;   // no terminator inside the record: not a name
            if ((length == 1 && d->d_name[0] == '.') || (length == 2 && d->d_name[0] == '.' && d->d_name[1] == '.'))
                continue;
            visit(d->d_name, length);
        }
    }
}

} // namespace Platform
