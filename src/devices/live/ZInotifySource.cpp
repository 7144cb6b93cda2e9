#include "devices/live/ZInotifySource.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <cstring>

namespace Platform {

namespace {

// The directory is named through its descriptor's /proc link, which must be
// followed: the descriptor itself was opened without following any link.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB
    | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr size_t kReadBufferBytes = 256 * 1024;

} // namespace

ZInotifySource::~ZInotifySource()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ZInotifySource::start(const std::string&)
{
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return fd_ >= 0;
}

bool ZInotifySource::watchDirectory(int dirFd, DWORD record)
{
    if (watchLimit_ && directories_.size() >= watchLimit_ && !directories_.hasRecord(record)) {
        errno = ENOSPC;
        return false;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd);
    const int wd = inotify_add_watch(fd_, path.c_str(), kWatchMask);
    if (wd < 0)
        return false;
    // A directory watched again (a rescan) keeps its descriptor; one whose
    // inode changed under the same path gets the new one.
    directories_.dropRecordOf(wd, record);
    directories_.bind(wd, record);
    return true;
}

void ZInotifySource::renumberDirectory(DWORD provisional, DWORD record)
{
    directories_.renumber(provisional, record);
}

void ZInotifySource::forgetDirectory(DWORD record)
{
    int wd = -1;
    if (directories_.forgetRecord(record, &wd))
        inotify_rm_watch(fd_, wd);
}

void ZInotifySource::flushPendingMove(std::vector<LiveEvent>& out)
{
    if (!pendingMove_.valid)
        return;
    LiveEvent e;
    e.kind = LiveEvent::NameChanged;   // moved out of the tree
    e.directory = pendingMove_.directory;
    e.name = std::move(pendingMove_.name);
    out.push_back(std::move(e));
    pendingMove_ = PendingMove();
}

void ZInotifySource::readEvents(std::vector<LiveEvent>& out)
{
    for (bool waited = false;; waited = true) {
        readQueued(out);
        if (!pendingMove_.valid || waited)
            break;
        // A first half read alone: its second may be on the way.
        struct pollfd queued = {fd_, POLLIN, 0};
        if (poll(&queued, 1, kRenameEventsLagMs) <= 0)
            break;
    }
    flushPendingMove(out);
}

void ZInotifySource::readQueued(std::vector<LiveEvent>& out)
{
    alignas(struct inotify_event) static thread_local char buffer[kReadBufferBytes];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        size_t at = 0;
        while (at + sizeof(struct inotify_event) <= size_t(n)) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buffer + at);
            const size_t total = sizeof(struct inotify_event) + ev->len;
            if (at + total > size_t(n))
                break;
            at += total;
            const std::string name = ev->len ? std::string(ev->name, strnlen(ev->name, ev->len)) : std::string();
            if (ev->mask & IN_Q_OVERFLOW) {
                flushPendingMove(out);
                LiveEvent e;
                e.kind = LiveEvent::Overflow;
                out.push_back(std::move(e));
                continue;
            }
            if (ev->mask & IN_IGNORED) {
                directories_.forgetKey(ev->wd);
                continue;
            }
            const DWORD dir = directories_.recordOf(ev->wd);
            if (!dir)
                continue;
            if (ev->mask & IN_MOVED_TO) {
                LiveEvent e;
                if (pendingMove_.valid && pendingMove_.cookie == ev->cookie) {
                    e.kind = LiveEvent::Renamed;
                    e.directory = pendingMove_.directory;
                    e.name = std::move(pendingMove_.name);
                    e.newDirectory = dir;
                    e.newName = name;
                    pendingMove_ = PendingMove();
                } else {
                    flushPendingMove(out);
                    e.kind = LiveEvent::NameChanged;   // moved in from outside
                    e.directory = dir;
                    e.name = name;
                }
                out.push_back(std::move(e));
                continue;
            }
            flushPendingMove(out);
            LiveEvent e;
            e.directory = dir;
            e.name = name;
            if (ev->mask & IN_MOVED_FROM) {
                pendingMove_.valid = true;
                pendingMove_.cookie = ev->cookie;
                pendingMove_.directory = dir;
                pendingMove_.name = name;
                continue;
            } else if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                e.kind = (ev->mask & IN_DELETE_SELF) ? LiveEvent::DirectoryDeleted : LiveEvent::DirectoryGone;
                e.name.clear();
            } else if (ev->mask & (IN_CREATE | IN_DELETE)) {
                e.kind = LiveEvent::NameChanged;
            } else if (ev->mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
                e.kind = LiveEvent::DataChanged;
            } else if (ev->mask & IN_ATTRIB) {
                e.kind = LiveEvent::InfoChanged;
            } else {
                continue;
            }
            if (name.empty() && e.kind != LiveEvent::DirectoryGone && e.kind != LiveEvent::DirectoryDeleted)
                continue;   // an event on the watched directory itself: its parent reports it
            out.push_back(std::move(e));
        }
    }
}

} // namespace Platform
