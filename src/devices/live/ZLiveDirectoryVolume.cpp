#include "devices/live/ZLiveDirectoryVolume.h"
#include "win32/ZErrorLog.h"

#include "devices/live/ZFanotifySource.h"
#include "devices/live/ZInotifySource.h"
#include "devices/live/ZLiveNameCodec.h"

#include <QFile>
#include <QtGlobal>

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;
constexpr ULONGLONG kTicksPerSecond = 10000000ull;
constexpr ULONGLONG kNanosecondsPerTick = 100;
constexpr USN kUsnAlignment = 8;
constexpr DWORD kClusterBytes = 4096;
// How often the event thread looks whether the root is still there.
constexpr int kRootCheckMs = 500;
// Events held while the first walk runs, beyond which they count as lost.
constexpr size_t kMaxBufferedEvents = size_t(1) << 22;
constexpr int kOpenSettleMs = 60000;
// Names of renamed and deleted files are dropped from the store once it holds
// this many bytes beyond twice what it kept last time.
constexpr size_t kNameSlackBytes = size_t(1) << 21;
// The first walk: directories read on one thread, filed on another. Folders
// are watched before their records exist, under provisional numbers.
constexpr DWORD kProvisional = 0x80000000u;
constexpr size_t kWalkBatchEntries = 1024;
constexpr size_t kWalkQueuedEntriesMax = 16 * 1024;
constexpr int kWalkReaders = 2;
// How often folders whose changes cannot be followed are read again.
constexpr std::chrono::seconds kPollInterval{2};
// Rounds of reading the queue on before an event whose folder path stays
// stale counts as lost.
constexpr int kStaleRounds = 4;

ULONGLONG realTimeFileTime()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kFileTimeUnixEpoch + ULONGLONG(ts.tv_sec) * kTicksPerSecond + ULONGLONG(ts.tv_nsec) / kNanosecondsPerTick;
}

// Journal ids differ between volumes opened in the same 100 ns.
DWORDLONG freshJournalId()
{
    static std::atomic<DWORDLONG> last{0};
    DWORDLONG id = realTimeFileTime();
    DWORDLONG prev = last.load();
    for (;;) {
        const DWORDLONG next = std::max(id, prev + 1);
        if (last.compare_exchange_weak(prev, next))
            return next;
    }
}

bool sameFileTimes(const ZEmulatedNtfsVolume::FileTimes& a, const LiveFileStat& st)
{
    return a.creationTime == st.creationTime && a.lastWriteTime == st.lastWriteTime
        && a.changeTime == st.changeTime;
}

ZEmulatedNtfsVolume::FileTimes timesOf(const LiveFileStat& st)
{
    ZEmulatedNtfsVolume::FileTimes t;
    t.creationTime = st.creationTime;
    t.lastWriteTime = st.lastWriteTime;
    t.changeTime = st.changeTime;
    t.lastAccessTime = st.lastAccessTime;
    return t;
}

} // namespace

std::shared_ptr<ZLiveDirectoryVolume> ZLiveDirectoryVolume::open(const QString& root, const Options& options,
                                                                 QString* error)
{
    const QByteArray native = QFile::encodeName(root);
    char* resolved = realpath(native.constData(), nullptr);
    if (!resolved) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(root, QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    const std::string canonical(resolved);
    free(resolved);
    std::shared_ptr<ZLiveDirectoryVolume> v(new ZLiveDirectoryVolume(options));
    if (!v->start(canonical, error))
        return nullptr;
    return v;
}

ZLiveDirectoryVolume::ZLiveDirectoryVolume(const Options& options)
    : options_(options)
{
}

ZLiveDirectoryVolume::~ZLiveDirectoryVolume()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> g(eventLock_);
            stopping_ = true;
        }
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

std::unique_ptr<ZLiveChangeSource> ZLiveDirectoryVolume::makeSource(Source which)
{
    if (which == Source::Fanotify)
        return std::make_unique<ZFanotifySource>();
    return std::make_unique<ZInotifySource>(options_.watchLimit);
}

bool ZLiveDirectoryVolume::start(const std::string& root, QString* error)
{
    root_ = root;
    LiveFileStat rootStat;
    if (!liveStat(AT_FDCWD, root_.c_str(), rootStat) || !rootStat.directory()) {
        if (error)
            *error = QStringLiteral("%1: not a directory").arg(QFile::decodeName(root_.c_str()));
        return false;
    }
    rootDevice_ = rootStat.device;
    rootInode_ = rootStat.inode;
    const int rootFd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    LiveFileStat opened;
    if (rootFd < 0 || !liveStat(rootFd, "", opened) || opened.inode != rootInode_ || opened.device != rootDevice_) {
        if (rootFd >= 0)
            ::close(rootFd);
        if (error)
            *error = QStringLiteral("%1: cannot be opened").arg(QFile::decodeName(root_.c_str()));
        return false;
    }
    rootFolder_ = std::make_shared<OpenFolder>(rootFd);

    ZEmulatedNtfsVolume::Options vo;
    vo.journalId = freshJournalId();
    vo.firstUsn = USN(realTimeFileTime() & ~ULONGLONG(kUsnAlignment - 1));
    vo.serialNumber = (rootDevice_ << 32) ^ rootInode_;   // stable; the journal id is what changes
    vo.label = liveNameToUtf16(root_.substr(root_.rfind('/') + 1));
    struct statvfs fs;
    if (statvfs(root_.c_str(), &fs) == 0 && fs.f_blocks)
        vo.totalClusters = std::max<ULONGLONG>(ULONGLONG(fs.f_blocks) * fs.f_frsize / kClusterBytes, vo.totalClusters);
    vo.bytesPerCluster = kClusterBytes;
    volume_ = std::make_unique<ZEmulatedNtfsVolume>(vo);
    volume_->setAutoClose(false);
    volume_->setJournalPaused(true);

    // The change source before the walk: nothing done meanwhile is missed.
    Source which = options_.source;
    const QByteArray forced = qgetenv(kSourceEnvironment);
    if (forced == "inotify")
        which = Source::Inotify;
    else if (forced == "fanotify")
        which = Source::Fanotify;
    if (which == Source::Automatic || which == Source::Fanotify) {
        source_ = makeSource(Source::Fanotify);
        if (!source_->start(root_))
            source_.reset();
    }
    if (!source_) {
        source_ = makeSource(Source::Inotify);
        if (!source_->start(root_)) {
            if (error)
                *error = QStringLiteral("%1: no change notification: %2")
                             .arg(QFile::decodeName(root_.c_str()), QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
    }
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        if (error)
            *error = QStringLiteral("eventfd: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    walking_ = true;
    thread_ = std::thread([this] { run(); });
    {
        std::lock_guard<std::mutex> g(stateLock_);
        inodes_.resize(kRoot + 1);
        inodes_[kRoot] = rootInode_;
        firstWalk();
    }
    volume_->setJournalPaused(false);
    settle(kOpenSettleMs);
#ifdef __GLIBC__
    malloc_trim(0);   // the walk's batches are gone: their pages go back to the system
#endif
    return true;
}

const char* ZLiveDirectoryVolume::sourceName() const
{
    return source_ ? source_->name() : "";
}

// ---------------------------------------------------------------------------
// The device: the emulated volume answers, the root's state decides.

bool ZLiveDirectoryVolume::volumeInformation(VolumeInformation& info)
{
    return volume_->volumeInformation(info);
}

bool ZLiveDirectoryVolume::open(DWORD desiredAccess)
{
    return volume_->open(desiredAccess);
}

BOOL ZLiveDirectoryVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                           DWORD* bytesReturned)
{
    return volume_->deviceIoControl(code, in, inSize, out, outSize, bytesReturned);
}

BOOL ZLiveDirectoryVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    return volume_->read(offset, buffer, size, bytesRead);
}

void ZLiveDirectoryVolume::cancelIo()
{
    volume_->cancelIo();
}

// ---------------------------------------------------------------------------
// The tree

ULONGLONG ZLiveDirectoryVolume::identityOf(const LiveFileStat& st) const
{
    return st.device == rootDevice_ ? st.inode : 0;
}

void ZLiveDirectoryVolume::rememberInode(DWORD record, const LiveFileStat& st)
{
    if (inodes_.size() <= record)
        inodes_.resize(size_t(record) + 1);
    const ULONGLONG id = identityOf(st);
    inodes_[record] = id;
    if (id && st.links > 1 && !st.directory())
        linkedInodes_[id] = record;
    if (id && st.directory())
        folderOfInode_[id] = record;
}

DWORD ZLiveDirectoryVolume::recordOfInode(ULONGLONG inode, DWORD links)
{
    auto it = linkedInodes_.find(inode);
    if (it != linkedInodes_.end() && it->second < inodes_.size() && inodes_[it->second] == inode
        && volume_->inUse(it->second))
        return it->second;
    // A folder deleted, its deletion not read yet, may have left its inode to this file.
    auto folder = folderOfInode_.find(inode);
    const DWORD notThis = folder == folderOfInode_.end() ? 0 : folder->second;
    // The first walk files every inode with several links on sight; later a
    // file that had one link may have gained one: search.
    if (walking_)
        return 0;
    for (DWORD r = Ntfs::RecordFirstUser; r < inodes_.size(); ++r) {
        if (inodes_[r] == inode && r != notThis && volume_->inUse(r)) {
            linkedInodes_[inode] = r;
            return r;
        }
    }
    return 0;
}

void ZLiveDirectoryVolume::forgetRecord(DWORD record)
{
    {
        std::lock_guard<std::mutex> g(reportLock_);
        if (unwatchableRecords_.erase(record))
            --unwatchable_;
    }
    {
        std::lock_guard<std::mutex> g(sourceLock_);
        source_->forgetDirectory(record);
    }
    unread_.erase(record);
    if (record < inodes_.size()) {
        auto it = linkedInodes_.find(inodes_[record]);
        if (it != linkedInodes_.end() && it->second == record)
            linkedInodes_.erase(it);
        auto folder = folderOfInode_.find(inodes_[record]);
        if (folder != folderOfInode_.end() && folder->second == record)
            folderOfInode_.erase(folder);
        inodes_[record] = 0;
    }
}

void ZLiveDirectoryVolume::logError(const QString& line)
{
    if (options_.errorLog)
        options_.errorLog(line);
    else
        Platform::logPlatformError(line);
}

void ZLiveDirectoryVolume::watch(int fd, const std::string& path, DWORD record)
{
    bool ok;
    int err;
    {
        std::lock_guard<std::mutex> g(sourceLock_);
        ok = source_->watchDirectory(fd, record);
        err = errno;
    }
    if (!ok)
        reportUnfollowed(path, record, err, false);
}

// A directory whose changes cannot be followed or whose entries cannot be
// read: counted, and named in the log once.
void ZLiveDirectoryVolume::reportUnfollowed(const std::string& path, DWORD record, int err, bool unreadable)
{
    std::lock_guard<std::mutex> g(reportLock_);
    if (!unwatchableRecords_.insert(record).second)
        return;
    ++unwatchable_;
    if (unwatchableNamed_ >= kUnwatchableNamedMax)
        return;
    ++unwatchableNamed_;
    const QString root = QFile::decodeName(root_.c_str());
    const QString dir = QFile::decodeName(path.c_str());
    const QString why = QString::fromLocal8Bit(strerror(err));
    if (unreadable)
        logError(QStringLiteral("live volume %1: %2 cannot be read (%3)").arg(root, dir, why));
    else
        logError(QStringLiteral("live volume %1: changes in %2 cannot be followed (%3)").arg(root, dir, why));
    if (unwatchableNamed_ == kUnwatchableNamedMax)
        logError(QStringLiteral("live volume %1: further directories that cannot be followed are counted only").arg(root));
}

void ZLiveDirectoryVolume::firstWalk()
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
    std::vector<FolderToRead> stack{{nullptr, std::string(), rootInode_, root_, 0}};
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
            const FolderRef folder = top.parent ? openListed(top, kProvisional | top.record) : rootFolder_;
            const int fd = folder ? listingDescriptor(*folder, top.path, kProvisional | top.record) : -1;
            if (fd < 0) {
                std::lock_guard<std::mutex> g(lock);
                unreadIds.push_back(top.record);
            } else {
                const std::string prefix = top.path == "/" ? std::string() : top.path;
                const bool listed = liveReadDirectory(fd, [&](const char* name, size_t length) {
                    Entry e;
                    e.name.assign(name, length);
                    if (!liveStat(fd, e.name.c_str(), e.st))
                        return;
                    e.name16 = liveNameToUtf16(e.name);
                    if (e.st.directory() && identityOf(e.st)) {
                        e.childId = nextId++;
                        if (e.childId >= kProvisional)
                            e.childId = 0;   // beyond any record number: filed, not walked
                        else
                            children.push_back({folder, e.name, e.st.inode, prefix + "/" + e.name, e.childId});
                    }
                    b.entries.push_back(std::move(e));
                    if (b.entries.size() >= kWalkBatchEntries) {
                        hand(b, children);
                        b = Batch();
                        b.dirId = top.record;
                    }
                });
                if (!listed)
                    reportUnfollowed(top.path, kProvisional | top.record, errno, true);
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
            const DWORD r = dir ? addEntry(dir, e.name, e.name16, e.st, nullptr, std::string()) : 0;
            if (e.childId) {
                if (recordOfId.size() <= e.childId)
                    recordOfId.resize(e.childId + 1, 0);
                recordOfId[e.childId] = r;
            }
        }
    }
    for (auto& r : readers)
        r.join();

    // From provisional numbers to records: in the source, in the events
    // read meanwhile, in the set of folders that could not be watched.
    auto real = [&](DWORD d) -> DWORD {
        if (!(d & kProvisional))
            return d;
        const DWORD id = d & ~kProvisional;
        return id < recordOfId.size() ? recordOfId[id] : 0;
    };
    std::lock_guard<std::mutex> s(sourceLock_);
    std::lock_guard<std::mutex> g(eventLock_);
    for (DWORD id = 0; id < recordOfId.size(); ++id) {
        if (recordOfId[id])
            source_->renumberDirectory(kProvisional | id, recordOfId[id]);
        else
            source_->forgetDirectory(kProvisional | id);
    }
    for (LiveEvent& e : pending_) {
        e.directory = real(e.directory);
        e.newDirectory = real(e.newDirectory);
    }
    std::unordered_set<DWORD> unwatchable;
    for (DWORD d : unwatchableRecords_)
        if (real(d))
            unwatchable.insert(real(d));
    unwatchableRecords_.swap(unwatchable);
    for (DWORD id : unreadIds)
        if (real(kProvisional | id))
            unread_.insert(real(kProvisional | id));
    nameBytesKept_ = volume_->nameStoreBytes();
    walking_ = false;
}

// Folders are opened from the root down, each by name in its open parent and
// never through a link, and read only while they are the folder that was
// listed: a rename above them cannot send a walk elsewhere.
ZLiveDirectoryVolume::FolderRef ZLiveDirectoryVolume::openListed(const FolderToRead& f, DWORD record)
{
    const int fd = ::openat(f.parent->fd, f.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Gone, replaced or renamed since the listing: its events follow. Anything else is reported.
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            reportUnfollowed(f.path, record, errno, true);
        return nullptr;
    }
    auto folder = std::make_shared<OpenFolder>(fd);
    LiveFileStat st;
    if (!liveStat(fd, "", st) || st.inode != f.inode || st.device != rootDevice_)
        return nullptr;
    return folder;
}

// Watches the folder, then gives a descriptor of its own to list it by: a
// listing leaves its descriptor at the end, and an open folder (the root at
// every rescan) may be listed again.
int ZLiveDirectoryVolume::listingDescriptor(const OpenFolder& folder, const std::string& path, DWORD record)
{
    watch(folder.fd, path, record);
    const int fd = ::openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        reportUnfollowed(path, record, errno, true);
    return fd;
}

ZLiveDirectoryVolume::FolderRef ZLiveDirectoryVolume::openFolder(DWORD record, std::string& path, bool* notFolder)
{
    path = root_;
    if (record == kRoot)
        return rootFolder_;
    std::vector<std::string> names;
    DWORD r = record;
    for (DWORD steps = 0; r != kRoot; ++steps) {
        ZEmulatedNtfsVolume::FileInfo info;
        const bool found = volume_->fileInfo(r, info);
        if (steps == 0 && notFolder)
            *notFolder = !found || !info.directory;
        if (steps > volume_->recordCount() || !found || info.links.empty() || (steps == 0 && !info.directory))
            return nullptr;
        names.push_back(liveNameFromUtf16(info.links[0].name));
        r = info.links[0].parent;
    }
    FolderRef folder = rootFolder_;
    if (path == "/")
        path.clear();
    for (auto it = names.rbegin(); it != names.rend() && folder; ++it) {
        const int fd = ::openat(folder->fd, it->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        folder = fd < 0 ? nullptr : std::make_shared<OpenFolder>(fd);
        path += '/';
        path += *it;
    }
    LiveFileStat st;
    if (!folder || record >= inodes_.size() || !liveStat(folder->fd, "", st) || identityOf(st) != inodes_[record])
        return nullptr;
    return folder;
}

void ZLiveDirectoryVolume::walkChild(const FolderRef& parent, const std::string& name, const LiveFileStat& st,
                                     const std::string& path, DWORD record)
{
    const FolderRef folder = openListed({parent, name, st.inode, path, record}, record);
    if (folder)
        walk(folder, path, record);
    else
        unread_.insert(record);
}

void ZLiveDirectoryVolume::walk(const FolderRef& start, const std::string& path, DWORD record,
                                std::vector<bool>* seen)
{
    std::vector<FolderToRead> stack, subdirs;
    unread_.erase(record);
    scanDirectory(start, path, record, subdirs, seen);
    for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it)
        stack.push_back(std::move(*it));
    while (!stack.empty()) {
        const FolderToRead top = std::move(stack.back());
        stack.pop_back();
        unread_.erase(top.record);
        const FolderRef folder = openListed(top, top.record);
        if (!folder) {
            unread_.insert(top.record);
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
void ZLiveDirectoryVolume::scanDirectory(const FolderRef& folder, const std::string& path, DWORD record,
                                         std::vector<FolderToRead>& subdirs, std::vector<bool>* seen)
{
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
        DWORD child = walking_ ? 0 : volume_->lookup(record, name16);
        if (child && (inodes_.size() <= child || inodes_[child] != identityOf(st))) {
            dropName(child, record, name16);
            child = 0;
        }
        if (child)
            update(child, st, name, LiveEvent::NameChanged);
        else
            child = addEntry(record, name, name16, st, nullptr, childPath);
        if (child && seen) {
            if (seen->size() <= child)
                seen->resize(child + 1, false);
            (*seen)[child] = true;
        }
        if (child && st.directory() && identityOf(st))
            subdirs.push_back({folder, name, st.inode, childPath, child});
    });
    if (!listed)
        reportUnfollowed(path, record, errno, true);
    ::close(fd);
}

DWORD ZLiveDirectoryVolume::addEntry(DWORD dir, const std::string& name, const std::u16string& name16,
                                     const LiveFileStat& st, const FolderRef& parent, const std::string& path)
{
    const ULONGLONG id = identityOf(st);
    if (st.directory() && id) {
        // A folder has one name: one the volume holds elsewhere was moved
        // here, its rename not read yet, and the record moves with it. Its
        // birth time tells it from a new folder given a deleted one's inode.
        auto known = folderOfInode_.find(id);
        ZEmulatedNtfsVolume::FileInfo info;
        if (known != folderOfInode_.end() && volume_->fileInfo(known->second, info) && info.directory
            && !info.links.empty() && info.times.creationTime == st.creationTime) {
            const DWORD folder = known->second;
            if (!volume_->rename(folder, info.links[0].parent, info.links[0].name, dir, name16))
                return 0;   // not where the volume can put it yet: the queued events will
            update(folder, st, name, LiveEvent::NameChanged);
            if (parent && unread_.count(folder))
                walkChild(parent, name, st, path, folder);
            return folder;
        }
    }
    if (!st.directory() && st.links > 1 && id) {
        const DWORD existing = recordOfInode(id, st.links);
        if (existing) {
            if (!volume_->link(existing, dir, name16, ZEmulatedNtfsVolume::NameForm::Posix))
                return 0;
            update(existing, st, name, LiveEvent::NameChanged);
            return existing;
        }
    }
    ZEmulatedNtfsVolume::CreateOptions o;
    o.nameForm = ZEmulatedNtfsVolume::NameForm::Posix;
    o.attributes = st.attributes(name);
    o.creationTime = st.creationTime;
    o.lastWriteTime = st.lastWriteTime;
    o.changeTime = st.changeTime;
    o.lastAccessTime = st.lastAccessTime;
    DWORD r;
    if (st.directory()) {
        r = volume_->createFolder(dir, name16, o);
    } else {
        o.size = st.size;
        r = volume_->createFile(dir, name16, o);
    }
    if (!r)
        return 0;
    rememberInode(r, st);
    volume_->close(r);
    if (parent && st.directory() && id)
        walkChild(parent, name, st, path, r);
    return r;
}

void ZLiveDirectoryVolume::update(DWORD record, const LiveFileStat& st, const std::string& name,
                                  LiveEvent::Kind cause)
{
    ZEmulatedNtfsVolume::FileInfo info;
    if (!volume_->fileInfo(record, info))
        return;
    if (!info.directory) {
        if (st.size > info.size)
            volume_->write(record, info.size, st.size - info.size);
        else if (st.size < info.size)
            volume_->truncate(record, st.size);
        else if (cause == LiveEvent::DataChanged && st.size && st.lastWriteTime != info.times.lastWriteTime)
            volume_->write(record, 0, st.size);
    }
    const DWORD attributes = st.attributes(name);
    const bool attributesChanged = attributes != info.attributes;
    if (attributesChanged)
        volume_->setAttributes(record, attributes);
    if (cause == LiveEvent::InfoChanged && !attributesChanged && !sameFileTimes(info.times, st))
        volume_->setTimes(record, timesOf(st));
    else
        volume_->setTimesQuietly(record, timesOf(st));
    volume_->close(record);
}

// Removes one name; a folder's contents go first, as a deletion of the tree.
void ZLiveDirectoryVolume::dropName(DWORD record, DWORD dir, const std::u16string& name16)
{
    ZEmulatedNtfsVolume::FileInfo info;
    if (!volume_->fileInfo(record, info))
        return;
    if (info.directory)
        removeSubtree(record);
    volume_->remove(record, dir, name16);
    if (!volume_->inUse(record))
        forgetRecord(record);
}

void ZLiveDirectoryVolume::removeSubtree(DWORD folder)
{
    // Every (parent, record) pair, grouped by parent.
    std::vector<std::pair<DWORD, DWORD>> edges;
    volume_->forEachLink([&](DWORD record, DWORD parent, const std::u16string&) {
        edges.emplace_back(parent, record);
    });
    std::sort(edges.begin(), edges.end());
    auto childrenOf = [&](DWORD parent) {
        auto lo = std::lower_bound(edges.begin(), edges.end(), std::make_pair(parent, DWORD(0)));
        std::vector<DWORD> out;
        for (auto it = lo; it != edges.end() && it->first == parent; ++it)
            out.push_back(it->second);
        return out;
    };
    // Depth first, each folder after its contents.
    struct Frame {
        DWORD folder;
        std::vector<DWORD> children;
        size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({folder, childrenOf(folder), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.children.size()) {
            const DWORD child = f.children[f.next++];
            ZEmulatedNtfsVolume::FileInfo info;
            if (volume_->fileInfo(child, info) && info.directory) {
                stack.push_back({child, childrenOf(child), 0});
            } else {
                for (const auto& l : info.links)
                    if (l.parent == f.folder)
                        volume_->remove(child, l.parent, l.name);
                if (!volume_->inUse(child))
                    forgetRecord(child);
            }
            continue;
        }
        const DWORD done = f.folder;
        stack.pop_back();
        if (stack.empty())
            break;   // the folder itself: its caller removes its name
        ZEmulatedNtfsVolume::FileInfo info;
        if (volume_->fileInfo(done, info))
            for (const auto& l : info.links)
                volume_->remove(done, l.parent, l.name);
        if (!volume_->inUse(done))
            forgetRecord(done);
    }
}

// Looks at the entry `name` of dir on disk again and brings the volume in line.
bool ZLiveDirectoryVolume::syncName(DWORD dir, const std::string& name, LiveEvent::Kind cause)
{
    if (dir != kRoot && (dir >= inodes_.size() || !inodes_[dir] || !volume_->inUse(dir)))
        return true;
    // The folder's names as the volume knows them must still lead to the
    // folder: a rename of it (or above it) still waiting in the queue makes
    // them stale. A record number that went to a file since has no folder
    // left, and with it the name is gone.
    std::string dirPath;
    bool notFolder = false;
    const FolderRef folder = openFolder(dir, dirPath, &notFolder);
    if (!folder)
        return notFolder;
    const std::string path = (dirPath == "/" ? std::string() : dirPath) + "/" + name;
    const std::u16string name16 = liveNameToUtf16(name);
    const DWORD record = volume_->lookup(dir, name16);
    LiveFileStat st;
    if (!liveStat(folder->fd, name.c_str(), st)) {
        if (record && (errno == ENOENT || errno == ENOTDIR))
            dropName(record, dir, name16);
        return true;
    }
    if (record) {
        ZEmulatedNtfsVolume::FileInfo info;
        const bool same = volume_->fileInfo(record, info) && record < inodes_.size()
            && inodes_[record] == identityOf(st) && info.directory == st.directory();
        if (same) {
            update(record, st, name, cause);
            if (info.directory && unread_.count(record))
                walkChild(folder, name, st, path, record);   // moved away before it could be read
            return true;
        }
        dropName(record, dir, name16);
    }
    addEntry(dir, name, name16, st, folder, path);
    return true;
}

// True when the disk's entry `name` of dir is known to hold another file
// than record: the disk has moved on past this rename (the second half of
// an exchange already brought in line), so only the names are looked at.
bool ZLiveDirectoryVolume::elsewhereOnDisk(DWORD dir, const std::string& name, DWORD record)
{
    std::string path;
    const FolderRef folder = openFolder(dir, path);
    LiveFileStat st;
    if (!folder || !liveStat(folder->fd, name.c_str(), st))
        return false;
    return record >= inodes_.size() || identityOf(st) != inodes_[record];
}

// A side of a rename whose folder is stale is looked at again later on its
// own: the rename itself must not be made twice.
void ZLiveDirectoryVolume::syncSide(DWORD dir, const std::string& name)
{
    if (syncName(dir, name, LiveEvent::NameChanged))
        return;
    LiveEvent again;
    again.kind = LiveEvent::NameChanged;
    again.directory = dir;
    again.name = name;
    deferred_.push_back(std::move(again));
}

void ZLiveDirectoryVolume::rename(const LiveEvent& e)
{
    const bool fromKnown = e.directory && volume_->inUse(e.directory);
    const bool toKnown = e.newDirectory && volume_->inUse(e.newDirectory);
    if (!fromKnown || !toKnown) {
        // Moved in or out of the tree.
        if (fromKnown != toKnown)
            syncSide(fromKnown ? e.directory : e.newDirectory, fromKnown ? e.name : e.newName);
        return;
    }
    const std::u16string old16 = liveNameToUtf16(e.name);
    const std::u16string new16 = liveNameToUtf16(e.newName);
    const DWORD record = volume_->lookup(e.directory, old16);
    const DWORD target = volume_->lookup(e.newDirectory, new16);
    if (record && target != record && !elsewhereOnDisk(e.newDirectory, e.newName, record)) {
        if (target)
            dropName(target, e.newDirectory, new16);
        volume_->rename(record, e.directory, old16, e.newDirectory, new16);
    }
    syncSide(e.newDirectory, e.newName);
    // The old name may hold a file again (an exchange of two names).
    syncSide(e.directory, e.name);
}

bool ZLiveDirectoryVolume::apply(const LiveEvent& e)
{
    switch (e.kind) {
    case LiveEvent::NameChanged:
    case LiveEvent::DataChanged:
    case LiveEvent::InfoChanged:
        if (e.name == ".") {
            // A folder's own change: looked at under its name in its parent.
            ZEmulatedNtfsVolume::FileInfo info;
            if (e.directory != kRoot && volume_->fileInfo(e.directory, info) && !info.links.empty())
                return syncName(info.links[0].parent, liveNameFromUtf16(info.links[0].name), e.kind);
            break;
        }
        return syncName(e.directory, e.name, e.kind);
    case LiveEvent::Renamed:
        rename(e);
        break;
    case LiveEvent::DirectoryDeleted:
        if (e.directory != kRoot) {
            // The folder's names go with it, even where a new folder has its
            // inode under the same name by now; the new one's creation follows.
            ZEmulatedNtfsVolume::FileInfo info;
            if ((!e.reference || volume_->fileReference(e.directory) == e.reference)
                && volume_->fileInfo(e.directory, info) && info.directory)
                for (const auto& l : info.links)
                    dropName(e.directory, l.parent, l.name);
            break;
        }
        [[fallthrough]];
    case LiveEvent::DirectoryGone:
        if (e.directory == kRoot) {
            LiveFileStat st;
            if (!liveStat(AT_FDCWD, root_.c_str(), st) || st.inode != rootInode_ || st.device != rootDevice_)
                markGone();
        }
        break;
    case LiveEvent::Overflow:
        break;
    }
    return true;
}

// After lost events: every entry on disk is looked at again, then every name
// the walk did not meet.
void ZLiveDirectoryVolume::rescan()
{
    std::vector<bool> seen(volume_->recordCount() + 1, false);
    seen[kRoot] = true;
    walk(rootFolder_, root_, kRoot, &seen);
    // Names the walk did not meet: of records it did not see, and the
    // further names of files with several. Only the top of a vanished tree
    // is looked at; its removal takes the rest.
    std::vector<DWORD> linkCount(seen.size(), 0);
    volume_->forEachLink([&](DWORD record, DWORD, const std::u16string&) {
        if (record < linkCount.size())
            ++linkCount[record];
    });
    std::vector<std::pair<DWORD, std::u16string>> doubtful;
    volume_->forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        const bool recordSeen = record < seen.size() && seen[record];
        const bool parentSeen = parent < seen.size() && seen[parent];
        if (parentSeen && (!recordSeen || (record < linkCount.size() && linkCount[record] > 1)))
            doubtful.emplace_back(parent, name);
    });
    for (const auto& d : doubtful)
        syncName(d.first, liveNameFromUtf16(d.second), LiveEvent::NameChanged);
}

void ZLiveDirectoryVolume::markGone()
{
    if (gone_.exchange(true))
        return;
    volume_->setNotReady(true);
}

// ---------------------------------------------------------------------------
// The event thread

bool ZLiveDirectoryVolume::settle(int timeoutMs)
{
    std::unique_lock<std::mutex> g(eventLock_);
    const ULONGLONG wanted = ++settleRequested_;
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    return eventCv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return settleDone_ >= wanted; });
}

void ZLiveDirectoryVolume::setEventsPaused(bool paused)
{
    {
        std::lock_guard<std::mutex> g(eventLock_);
        paused_ = paused;
    }
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void ZLiveDirectoryVolume::drain()
{
    std::vector<LiveEvent> got;
    // Both locks while the events join the queue: the end of the first walk
    // renumbers the source and the queue at one moment.
    std::lock_guard<std::mutex> s(sourceLock_);
    source_->readEvents(got);
    if (got.empty())
        return;
    std::lock_guard<std::mutex> g(eventLock_);
    const size_t limit = options_.eventQueueLimit ? options_.eventQueueLimit : kMaxBufferedEvents;
    for (auto& e : got) {
        if (e.kind == LiveEvent::DirectoryDeleted && !walking_)
            e.reference = volume_->fileReference(e.directory);
        if (e.kind == LiveEvent::Overflow)
            overflowPending_ = true;
        else
            pending_.push_back(std::move(e));
    }
    if (pending_.size() > limit)
        overflowPending_ = true;
    if (overflowPending_)
        pending_.clear();
}

void ZLiveDirectoryVolume::applyBatch(const std::vector<LiveEvent>& batch, std::vector<LiveEvent>& stale)
{
    const LiveEvent* previous = nullptr;
    for (const LiveEvent& e : batch) {
        // A run of writes to one file is looked at once.
        if (previous && e.kind == previous->kind && e.kind == LiveEvent::DataChanged
            && e.directory == previous->directory && e.name == previous->name)
            continue;
        if (!apply(e))
            stale.push_back(e);
        for (LiveEvent& d : deferred_)
            stale.push_back(std::move(d));
        deferred_.clear();
        previous = &e;
        if (gone_)
            return;
    }
}

void ZLiveDirectoryVolume::applyPending()
{
    for (;;) {
        std::vector<LiveEvent> batch;
        bool overflow;
        {
            std::lock_guard<std::mutex> g(eventLock_);
            batch.swap(pending_);
            overflow = overflowPending_;
            overflowPending_ = false;
        }
        if (batch.empty() && !overflow)
            return;
        std::lock_guard<std::mutex> g(stateLock_);
        if (gone_)
            continue;
        if (overflow) {
            ++overflows_;
            logError(QStringLiteral("live volume %1: change events were lost; journal entries discarded, tree walked again")
                         .arg(QFile::decodeName(root_.c_str())));
            volume_->discardJournalEntries();
            rescan();
            continue;
        }
        std::vector<LiveEvent> stale;
        applyBatch(batch, stale);
        // Events whose folder was renamed after them: again once the queue
        // has been read on, so the rename is applied first. Each event only
        // brings the volume in line with the disk, so the order may change.
        for (int round = 0; !stale.empty() && round < kStaleRounds && !gone_; ++round) {
            drain();
            {
                std::lock_guard<std::mutex> e(eventLock_);
                if (overflowPending_)
                    break;   // the walk after a lost queue looks at everything
                batch.clear();
                batch.swap(pending_);
            }
            std::vector<LiveEvent> again;
            applyBatch(batch, again);
            applyBatch(stale, again);
            stale.swap(again);
        }
        if (!stale.empty() && !gone_) {
            std::lock_guard<std::mutex> e(eventLock_);
            overflowPending_ = true;   // the folders' paths cannot be found: walk again
        }
        if (volume_->nameStoreBytes() > 2 * nameBytesKept_ + kNameSlackBytes) {
            volume_->compactNames();
            nameBytesKept_ = volume_->nameStoreBytes();
        }
    }
}

// Folders whose changes cannot be followed are read again now and then: the
// names on disk and those the volume holds for them are looked at anew.
void ZLiveDirectoryVolume::pollUnwatched()
{
    std::unordered_set<DWORD> folders;
    {
        std::lock_guard<std::mutex> g(reportLock_);
        folders = unwatchableRecords_;
    }
    std::unordered_map<DWORD, std::vector<std::u16string>> held;
    volume_->forEachLink([&](DWORD, DWORD parent, const std::u16string& name) {
        if (folders.count(parent))
            held[parent].push_back(name);
    });
    for (DWORD folder : folders) {
        std::string path;
        const FolderRef open = openFolder(folder, path);
        if (!open)
            continue;
        bool watched;
        {
            std::lock_guard<std::mutex> g(sourceLock_);
            watched = source_->watchDirectory(open->fd, folder);
        }
        if (watched) {
            std::lock_guard<std::mutex> g(reportLock_);
            if (unwatchableRecords_.erase(folder))
                --unwatchable_;   // room for a watch again: followed from now on
        }
        std::unordered_set<std::string> names;
        for (const std::u16string& n : held[folder])
            names.insert(liveNameFromUtf16(n));
        const int fd = ::openat(open->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            liveReadDirectory(fd, [&](const char* name, size_t length) { names.emplace(name, length); });
            ::close(fd);
        }
        for (const std::string& name : names)
            syncName(folder, name, LiveEvent::NameChanged);
    }
}

void ZLiveDirectoryVolume::run()
{
    auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
    for (;;) {
        bool paused;
        ULONGLONG requested;
        {
            std::lock_guard<std::mutex> g(eventLock_);
            if (stopping_)
                return;
            paused = paused_;
            requested = settleRequested_;
        }
        struct pollfd fds[2];
        fds[0].fd = paused ? -1 : source_->fd();
        fds[0].events = POLLIN;
        fds[1].fd = wakeFd_;
        fds[1].events = POLLIN;
        const int n = poll(fds, 2, kRootCheckMs);
        uint64_t count;
        if (n > 0 && (fds[1].revents & POLLIN))
            (void)!::read(wakeFd_, &count, sizeof count);
        bool walking;
        {
            std::lock_guard<std::mutex> g(eventLock_);
            if (stopping_)
                return;
            paused = paused_;
            walking = walking_;
            requested = std::max(requested, settleRequested_);
        }
        if (!paused)
            drain();
        if (!walking) {
            applyPending();
            const auto now = std::chrono::steady_clock::now();
            if (!gone_ && unwatchable_ && (requested > settleDone_ || now >= nextPoll)) {
                std::lock_guard<std::mutex> g(stateLock_);
                pollUnwatched();
                // Never more than a tenth of the time on polls.
                const auto took = std::chrono::steady_clock::now() - now;
                nextPoll = now + std::max<std::chrono::steady_clock::duration>(kPollInterval, 10 * took);
            }
            if (!gone_) {
                LiveFileStat st;
                if (!liveStat(AT_FDCWD, root_.c_str(), st) || st.inode != rootInode_ || st.device != rootDevice_) {
                    std::lock_guard<std::mutex> g(stateLock_);
                    markGone();
                }
            }
            std::lock_guard<std::mutex> g(eventLock_);
            if (requested > settleDone_) {
                settleDone_ = requested;
                eventCv_.notify_all();
            }
        }
    }
}

} // namespace Platform
