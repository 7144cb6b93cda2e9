#include "devices/live/ZLiveTreeWalker.h"
#include "win32/ZTimeConstants.h"

#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/live/ZLiveNameCodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;
// The first walk: directories read on kWalkReaders threads, filed on one.
// Folders are watched before their records exist, under provisional numbers.
constexpr DWORD kProvisional = 0x80000000u;
constexpr size_t kWalkBatchEntries = 1024;
constexpr size_t kWalkQueuedEntriesMax = 16 * 1024;
constexpr int kWalkReaders = 2;
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
    struct timespec ts;
    ts.tv_sec = time_t(t.tv_sec);
    ts.tv_nsec = long(t.tv_nsec);
    return fileTimeFromTimespec(ts);
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
    out.birthTime = (sx.stx_mask & STATX_BTIME) != 0;
    out.creationTime = out.birthTime ? fileTime(sx.stx_btime) : out.changeTime;
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

// ---------------------------------------------------------------------------
// The walks

ZLiveTreeWalker::ZLiveTreeWalker(ZLiveDirectoryVolume& volume)
    : v_(volume)
{
}

void ZLiveTreeWalker::firstWalk()
{
    struct Entry {
        std::string name;
        std::u16string name16;   // made by the reader: the filing thread is the one to spare
        LiveFileStat st;
        DWORD childId = 0;   // a folder to walk: its provisional number
    };
    struct Batch {
        DWORD dirId = 0;
        std::vector<Entry> entries;
    };
    std::mutex lock;
    std::condition_variable cv;
    std::deque<Batch> queue;
    size_t queued = 0;
    bool done = false;

    // Readers take folders from a shared stack: watch, list, stat, hand the
    // entries on. A folder found in a batch is stacked only once that batch
    // is queued, so its own batch always comes after its parent's.
    std::vector<FolderToRead> stack{{nullptr, std::string(), v_.rootInode_, pathNode(nullptr, v_.root_), 0}};
    std::vector<DWORD> unreadIds;   // folders filed but not read (gone or replaced meanwhile)
    std::atomic<DWORD> nextId{1};
    int active = 0;
    int readersLeft = kWalkReaders;
    auto hand = [&](Batch& b, std::vector<FolderToRead>& children) {
        std::unique_lock<std::mutex> g(lock);
        cv.wait(g, [&] { return queued < kWalkQueuedEntriesMax; });
        queued += b.entries.size() + 1;
        queue.push_back(std::move(b));
        for (auto& child : children)
            stack.push_back(std::move(child));
        children.clear();
        cv.notify_all();
    };
    auto readFolders = [&] {
        std::vector<FolderToRead> children;
        for (;;) {
            FolderToRead top;
            {
                std::unique_lock<std::mutex> g(lock);
                cv.wait(g, [&] { return !stack.empty() || active == 0; });
                if (stack.empty())
                    break;
                top = std::move(stack.back());
                stack.pop_back();
                ++active;
            }
            Batch b;
            b.dirId = top.record;
            const FolderRef folder = top.parent ? openListed(top, kProvisional | top.record) : v_.rootFolder_;
            const std::string path = folder ? pathOf(top.path) : std::string();
            const int fd = folder ? listingDescriptor(*folder, path, kProvisional | top.record) : -1;
            if (fd < 0) {
                std::lock_guard<std::mutex> g(lock);
                unreadIds.push_back(top.record);
            } else {
                const bool listed = liveReadDirectory(fd, [&](const char* name, size_t length) {
                    Entry e;
                    e.name.assign(name, length);
                    if (!liveStat(fd, e.name.c_str(), e.st))
                        return;
                    if (v_.options_.walkRead)
                        v_.options_.walkRead((path == "/" ? std::string() : path) + "/" + e.name);
                    e.name16 = liveNameToUtf16(e.name);
                    if (e.st.directory() && v_.identityOf(e.st)) {
                        e.childId = nextId++;
                        if (e.childId >= kProvisional)
                            e.childId = 0;   // beyond any record number: filed, not walked
                        else
                            children.push_back({folder, e.name, e.st.inode, pathNode(top.path, e.name), e.childId});
                    }
                    b.entries.push_back(std::move(e));
                    if (b.entries.size() >= kWalkBatchEntries) {
                        hand(b, children);
                        b = Batch();
                        b.dirId = top.record;
                    }
                });
                if (!listed)
                    v_.reportUnfollowed(path, kProvisional | top.record, errno, true);
                ::close(fd);
            }
            hand(b, children);
            std::lock_guard<std::mutex> g(lock);
            --active;
            cv.notify_all();
        }
        std::lock_guard<std::mutex> g(lock);
        if (--readersLeft == 0)
            done = true;
        cv.notify_all();
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < kWalkReaders; ++i)
        readers.emplace_back(readFolders);

    // Files what was read; a folder's batch always comes after its parent's.
    std::vector<DWORD> recordOfId{kRoot};
    for (;;) {
        Batch b;
        {
            std::unique_lock<std::mutex> g(lock);
            cv.wait(g, [&] { return !queue.empty() || done; });
            if (queue.empty())
                break;
            b = std::move(queue.front());
            queue.pop_front();
            queued -= b.entries.size() + 1;
            cv.notify_all();
        }
        const DWORD dir = b.dirId < recordOfId.size() ? recordOfId[b.dirId] : 0;
        for (Entry& e : b.entries) {
            const DWORD r = dir ? v_.changes_.addEntry(dir, e.name, e.name16, e.st, nullptr, std::string()) : 0;
            if (e.childId) {
                if (recordOfId.size() <= e.childId)
                    recordOfId.resize(e.childId + 1, 0);
                recordOfId[e.childId] = r;
            }
        }
    }
    for (auto& r : readers)
        r.join();
    v_.changes_.joinSplitLinks();

    // From provisional numbers to records: in the source, in the events
    // read meanwhile, in the set of folders that could not be watched.
    auto real = [&](DWORD d) -> DWORD {
        if (!(d & kProvisional))
            return d;
        const DWORD id = d & ~kProvisional;
        return id < recordOfId.size() ? recordOfId[id] : 0;
    };
    std::lock_guard<std::mutex> s(v_.sourceLock_);
    std::lock_guard<std::mutex> g(v_.eventLock_);
    for (DWORD id = 0; id < recordOfId.size(); ++id) {
        if (recordOfId[id])
            v_.source_->renumberDirectory(kProvisional | id, recordOfId[id]);
        else
            v_.source_->forgetDirectory(kProvisional | id);
    }
    for (LiveEvent& e : v_.pending_) {
        e.directory = real(e.directory);
        e.newDirectory = real(e.newDirectory);
        // A deleted folder's record is its own only until the events before
        // this one are applied: one of them may free it for a new folder.
        if (e.kind == LiveEvent::DirectoryDeleted && e.directory)
            e.reference = v_.volume_->fileReference(e.directory);
    }
    for (auto& [dir, name] : v_.metTwiceByWalk_) {
        LiveEvent again;
        again.kind = LiveEvent::NameChanged;
        again.directory = dir;
        again.name = std::move(name);
        v_.pending_.push_back(std::move(again));
    }
    v_.metTwiceByWalk_ = decltype(v_.metTwiceByWalk_)();
    std::unordered_set<DWORD> unwatchable;
    for (DWORD d : v_.unwatchableRecords_)
        if (real(d))
            unwatchable.insert(real(d));
    v_.unwatchableRecords_.swap(unwatchable);
    for (DWORD id : unreadIds)
        if (real(kProvisional | id))
            v_.unread_.insert(real(kProvisional | id));
    v_.nameBytesKept_ = v_.volume_->nameStoreBytes();
    v_.walking_ = false;
}

ZLiveTreeWalker::PathRef ZLiveTreeWalker::pathNode(const PathRef& above, const std::string& name)
{
    return std::make_shared<PathNode>(above, name);
}

ZLiveTreeWalker::PathNode::~PathNode()
{
    PathRef up = std::move(above);
    // Held by no one else: its own link is taken before it goes.
    while (up && up.use_count() == 1)
        up = std::move(up->above);
}

// The path a node names, joined from the top down, without recursion.
std::string ZLiveTreeWalker::pathOf(const PathRef& node)
{
    std::vector<const PathNode*> chain;
    for (const PathNode* at = node.get(); at; at = at->above.get())
        chain.push_back(at);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it == chain.rbegin()) {
            path = (*it)->name;
            continue;
        }
        if (path == "/")
            path.clear();
        path += '/';
        path += (*it)->name;
    }
    return path;
}

// Folders are opened from the root down, each by name in its open parent and
// never through a link, and read only while they are the folder that was
// listed: a rename above them cannot send a walk elsewhere.
ZLiveTreeWalker::FolderRef ZLiveTreeWalker::openListed(const FolderToRead& f, DWORD record)
{
    const int fd = ::openat(f.parent->fd, f.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Gone, replaced or renamed since the listing: its events follow. Anything else is reported.
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            v_.reportUnfollowed(pathOf(f.path), record, errno, true);
        return nullptr;
    }
    auto folder = std::make_shared<OpenFolder>(fd);
    LiveFileStat st;
    if (!liveStat(fd, "", st) || st.inode != f.inode || st.device != v_.rootDevice_)
        return nullptr;
    return folder;
}

// Watches the folder, then gives a descriptor of its own to list it by: a
// listing leaves its descriptor at the end, and an open folder (the root at
// every rescan) may be listed again.
int ZLiveTreeWalker::listingDescriptor(const OpenFolder& folder, const std::string& path, DWORD record)
{
    v_.watch(folder.fd, path, record);
    const int fd = ::openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        v_.reportUnfollowed(path, record, errno, true);
    return fd;
}

ZLiveTreeWalker::FolderRef ZLiveTreeWalker::openFolder(DWORD record, std::string& path, bool* notFolder)
{
    path = v_.root_;
    if (record == kRoot)
        return v_.rootFolder_;
    std::vector<std::string> names;
    DWORD r = record;
    for (DWORD steps = 0; r != kRoot; ++steps) {
        ZEmulatedNtfsVolume::FileInfo info;
        const bool found = v_.volume_->fileInfo(r, info);
        if (steps == 0 && notFolder)
            *notFolder = !found || !info.directory;
        if (steps > v_.volume_->recordCount() || !found || info.links.empty() || (steps == 0 && !info.directory))
            return nullptr;
        names.push_back(liveNameFromUtf16(info.links[0].name));
        r = info.links[0].parent;
    }
    FolderRef folder = v_.rootFolder_;
    if (path == "/")
        path.clear();
    for (auto it = names.rbegin(); it != names.rend() && folder; ++it) {
        const int fd = ::openat(folder->fd, it->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        folder = fd < 0 ? nullptr : std::make_shared<OpenFolder>(fd);
        path += '/';
        path += *it;
    }
    LiveFileStat st;
    if (!folder || record >= v_.inodes_.size() || !liveStat(folder->fd, "", st) || v_.identityOf(st) != v_.inodes_[record])
        return nullptr;
    return folder;
}

void ZLiveTreeWalker::walkChild(const FolderRef& parent, const std::string& name, const LiveFileStat& st,
                                const std::string& path, DWORD record)
{
    const FolderRef folder = openListed({parent, name, st.inode, pathNode(nullptr, path), record}, record);
    if (folder)
        walk(folder, path, record);
    else
        v_.unread_.insert(record);
}

void ZLiveTreeWalker::walkUnread(const FolderRef& parent, const std::string& name, const LiveFileStat& st,
                                 const std::string& path, DWORD record)
{
    const FolderRef folder = openListed({parent, name, st.inode, pathNode(nullptr, path), record}, record);
    if (!folder) {
        v_.unread_.insert(record);
        return;
    }
    std::vector<bool> seen(size_t(v_.volume_->recordCount()) + 1, false);
    if (record < seen.size())
        seen[record] = true;
    walk(folder, path, record, &seen);
    v_.syncUnmet(seen);
}

void ZLiveTreeWalker::walk(const FolderRef& start, const std::string& path, DWORD record,
                           std::vector<bool>* seen)
{
    std::vector<FolderToRead> stack, subdirs;
    v_.unread_.erase(record);
    scanDirectory(start, pathNode(nullptr, path), record, subdirs, seen);
    for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it)
        stack.push_back(std::move(*it));
    while (!stack.empty()) {
        const FolderToRead top = std::move(stack.back());
        stack.pop_back();
        v_.unread_.erase(top.record);
        const FolderRef folder = openListed(top, top.record);
        if (!folder) {
            v_.unread_.insert(top.record);
            continue;
        }
        subdirs.clear();
        scanDirectory(folder, top.path, top.record, subdirs, seen);
        for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it)
            stack.push_back(std::move(*it));
    }
}

// Watches the directory, then files every entry in it (watch first, so an
// entry made after the listing has its event).
void ZLiveTreeWalker::scanDirectory(const FolderRef& folder, const PathRef& node, DWORD record,
                                    std::vector<FolderToRead>& subdirs, std::vector<bool>* seen)
{
    const std::string path = pathOf(node);
    const int fd = listingDescriptor(*folder, path, record);
    if (fd < 0)
        return;
    const std::string prefix = path == "/" ? std::string() : path;
    const bool listed = liveReadDirectory(fd, [&](const char* entry, size_t length) {
        const std::string name(entry, length);
        LiveFileStat st;
        if (!liveStat(fd, name.c_str(), st))
            return;   // gone since the listing: its event follows
        const std::u16string name16 = liveNameToUtf16(name);
        const std::string childPath = prefix + "/" + name;
        if (v_.options_.walkRead)
            v_.options_.walkRead(childPath);
        DWORD child = v_.walking_ ? 0 : v_.volume_->lookup(record, name16);
        if (child && !v_.sameFile(child, st)) {
            v_.changes_.dropName(child, record, name16);
            child = 0;
        }
        // After a restart every file is compared with what the last run saw:
        // a modification time of its own is a write.
        if (child)
            v_.changes_.update(child, st, name, v_.reconciling_ ? LiveEvent::DataChanged : LiveEvent::NameChanged);
        else
            child = v_.changes_.addEntry(record, name, name16, st, nullptr, childPath);
        if (child && seen) {
            if (seen->size() <= child)
                seen->resize(child + 1, false);
            (*seen)[child] = true;
        }
        if (child && st.directory() && v_.identityOf(st))
            subdirs.push_back({folder, name, st.inode, pathNode(node, name), child});
    });
    if (!listed)
        v_.reportUnfollowed(path, record, errno, true);
    ::close(fd);
}

} // namespace Platform
