#include "devices/live/ZLiveDirectoryVolume.h"
#include "win32/ZErrorLog.h"
#include "win32/ZTimeConstants.h"

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
#include <iterator>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;
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
// How often folders whose changes cannot be followed are read again.
constexpr std::chrono::seconds kPollInterval{2};
// Rounds of reading the queue on before an event whose folder path stays
// stale counts as lost.
constexpr int kStaleRounds = 4;
// Levels up the tree a stale folder is looked at from, before its events
// count as lost.
constexpr size_t kMaxStaleLevels = 256;

ULONGLONG realTimeFileTime()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return fileTimeFromTimespec(ts);
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

} // namespace

std::shared_ptr<ZLiveDirectoryVolume> ZLiveDirectoryVolume::open(const QString& root, const Options& options,
                                                                 QString* error)
{
    const QByteArray native = QFile::encodeName(root);
    char* resolved = realpath(native.constData(), nullptr);
    if (!resolved) {
        if (error)
            *error = QString::fromLocal8Bit(strerror(errno));
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
    : options_(options), walker_(*this), changes_(*this)
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
        (void)!::write(readerWakeFd_, &one, sizeof one);
        thread_.join();
        if (reader_.joinable())
            reader_.join();
    }
    saveState();
    for (int fd : {wakeFd_, readerWakeFd_})
        if (fd >= 0)
            ::close(fd);
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
            *error = QStringLiteral("not a directory");
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
            *error = QStringLiteral("cannot be opened");
        return false;
    }
    rootFolder_ = std::make_shared<ZLiveTreeWalker::OpenFolder>(rootFd);

    const ZEmulatedNtfsVolume::Options vo = volumeOptions();
    volume_ = std::make_unique<ZEmulatedNtfsVolume>(vo);
    volume_->setAutoClose(false);
    volume_->setJournalPaused(true);
    openState(vo);

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
                *error = QStringLiteral("no change notification: %1").arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
    }
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    readerWakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0 || readerWakeFd_ < 0) {
        if (error)
            *error = QStringLiteral("eventfd: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (resumed_) {
        // The records are placed, then the tree compared with them, on the
        // event thread; the journal goes on once they are placed.
        reconcilePending_ = true;
        thread_ = std::thread([this] { run(); });
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        return true;
    }
    walking_ = true;
    thread_ = std::thread([this] { run(); });
    {
        std::lock_guard<std::mutex> g(stateLock_);
        inodes_.resize(kRoot + 1);
        inodes_[kRoot] = rootInode_;
        walker_.firstWalk();
    }
    volume_->setJournalPaused(false);
    settle(kOpenSettleMs);
#ifdef __GLIBC__
    malloc_trim(0);   // the walk's batches are gone: their pages go back to the system
#endif
    return true;
}

ZEmulatedNtfsVolume::Options ZLiveDirectoryVolume::volumeOptions() const
{
    ZEmulatedNtfsVolume::Options vo;
    vo.journalId = freshJournalId();
    vo.firstUsn = USN(realTimeFileTime() & ~ULONGLONG(kUsnAlignment - 1));
    vo.serialNumber = (rootDevice_ << 32) ^ rootInode_;   // stable; the journal id is what changes
    vo.label = liveNameToUtf16(root_.substr(root_.rfind('/') + 1));
    struct statvfs fs;
    if (statvfs(root_.c_str(), &fs) == 0 && fs.f_blocks)
        vo.totalClusters = std::max<ULONGLONG>(ULONGLONG(fs.f_blocks) * fs.f_frsize / kClusterBytes, vo.totalClusters);
    vo.bytesPerCluster = kClusterBytes;
    return vo;
}

const char* ZLiveDirectoryVolume::sourceName() const
{
    return source_ ? source_->name() : "";
}

// ---------------------------------------------------------------------------
// The device: the emulated volume answers, the root's state decides.

bool ZLiveDirectoryVolume::volumeInformation(VolumeInformation& info)
{
    if (restorePending_.load()) {
        info = atOpen_.information;
        return true;
    }
    return volume_->volumeInformation(info);
}

bool ZLiveDirectoryVolume::open(DWORD desiredAccess)
{
    return restorePending_.load() || volume_->open(desiredAccess);
}

BOOL ZLiveDirectoryVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                           DWORD* bytesReturned)
{
    // The journal's identity and the volume's sizes are there from the
    // open: a drive resumed from its cache is announced without waiting.
    if (code == FSCTL_QUERY_USN_JOURNAL || code == FSCTL_GET_NTFS_VOLUME_DATA) {
        if (restorePending_.load())
            return answerFromOpen(code, out, outSize, bytesReturned);
    } else {
        waitForRecords();
    }
    return volume_->deviceIoControl(code, in, inSize, out, outSize, bytesReturned);
}

BOOL ZLiveDirectoryVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    waitForRecords();
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

bool ZLiveDirectoryVolume::sameFile(DWORD record, const LiveFileStat& st) const
{
    if (record >= inodes_.size() || inodes_[record] != identityOf(st))
        return false;
    if (!reconciling_ || !st.birthTime)
        return true;
    // An inode the file system gave again to a new file since the last run.
    ZEmulatedNtfsVolume::FileInfo info;
    return volume_->fileInfo(record, info) && info.directory == st.directory()
        && info.times.creationTime == st.creationTime;
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
    // The walk after a restart has every restored file by inode.
    if (reconciling_) {
        auto r = std::lower_bound(restoredInodes_.begin(), restoredInodes_.end(), std::make_pair(inode, DWORD(0)));
        if (r != restoredInodes_.end() && r->first == inode && r->second < inodes_.size()
            && inodes_[r->second] == inode && volume_->inUse(r->second))
            return r->second;
    }
    // A folder deleted, its deletion not read yet, may have left its inode to this file.
    auto folder = folderOfInode_.find(inode);
    const DWORD notThis = folder == folderOfInode_.end() ? 0 : folder->second;
    // The first walk files every inode with several links on sight, the walk
    // after a restart has every restored file (above); later a file that had
    // one link may have gained one: search.
    if (walking_ || reconciling_)
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

void ZLiveDirectoryVolume::logError(const QString& line, PlatformLogLevel level)
{
    if (!options_.errorLog)
        Platform::logPlatformLine(level, line);
    else if (level == PlatformLogLevel::Error)
        options_.errorLog(line);
    else
        options_.errorLog((level == PlatformLogLevel::Warning ? QStringLiteral("WARNING: ") : QStringLiteral("INFO: ")) + line);
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


// After lost events: every entry on disk is looked at again, then every name
// the walk did not meet.
void ZLiveDirectoryVolume::rescan()
{
    std::vector<bool> seen(volume_->recordCount() + 1, false);
    seen[kRoot] = true;
    walker_.walk(rootFolder_, root_, kRoot, &seen);
    syncUnmet(seen);
    // What the walk journaled is read now, not after the read's time-out.
    volume_->releaseJournalReads();
}

void ZLiveDirectoryVolume::syncUnmet(const std::vector<bool>& seen)
{
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
        changes_.syncName(d.first, liveNameFromUtf16(d.second), LiveEvent::NameChanged);
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
    (void)!::write(readerWakeFd_, &one, sizeof one);
}

bool ZLiveDirectoryVolume::drain()
{
    std::vector<LiveEvent> got;
    // Both locks while the events join the queue: the end of the first walk
    // renumbers the source and the queue at one moment, and the two threads
    // that read the source keep the kernel's order.
    std::lock_guard<std::mutex> s(sourceLock_);
    source_->readEvents(got);
    if (got.empty())
        return false;
    if (options_.eventsRead)
        options_.eventsRead(got);
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
    return true;
}

void ZLiveDirectoryVolume::readAhead()
{
    const uint64_t one = 1;
    for (;;) {
        bool paused;
        {
            std::lock_guard<std::mutex> g(eventLock_);
            if (stopping_)
                return;
            paused = paused_;
        }
        struct pollfd fds[2];
        fds[0].fd = paused ? -1 : source_->fd();
        fds[0].events = POLLIN;
        fds[1].fd = readerWakeFd_;
        fds[1].events = POLLIN;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;   // the event thread reads the queue on its own
        }
        uint64_t count;
        if (fds[1].revents & POLLIN)
            (void)!::read(readerWakeFd_, &count, sizeof count);
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;   // likewise: a source that cannot be waited on
        if (!(fds[0].revents & POLLIN))
            continue;
        {
            std::lock_guard<std::mutex> g(eventLock_);
            if (stopping_)
                return;
            if (paused_)
                continue;
        }
        if (drain())
            (void)!::write(wakeFd_, &one, sizeof one);
    }
    readingAhead_ = false;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void ZLiveDirectoryVolume::applyBatch(const std::vector<LiveEvent>& batch, std::vector<LiveEvent>& stale)
{
    const LiveEvent* previous = nullptr;
    for (const LiveEvent& e : batch) {
        // A run of writes to one file is looked at once.
        if (previous && e.kind == previous->kind && e.kind == LiveEvent::DataChanged
            && e.directory == previous->directory && e.name == previous->name)
            continue;
        if (!changes_.apply(e))
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
    if (reconcilePending_.exchange(false)) {
        std::lock_guard<std::mutex> g(stateLock_);
        if (!gone_)
            reconcile();
    }
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
        if (options_.beforeApplying)
            options_.beforeApplying();
        std::lock_guard<std::mutex> g(stateLock_);
        if (gone_)
            continue;
        if (overflow) {
            ++overflows_;
            logError(QStringLiteral("live volume %1: change events were lost; journal entries discarded, tree walked again")
                         .arg(QFile::decodeName(root_.c_str())));
            volume_->discardJournalEntries();
            if (state_)
                state_->restartAt(volume_->journalState().data.NextUsn);
            rescan();
            continue;
        }
        std::vector<LiveEvent> stale;
        applyBatch(batch, stale);
        // Events whose folder was renamed after them: again once the queue
        // has been read on, so the rename is applied first. Each event only
        // brings the volume in line with the disk, so the order may change.
        for (int round = 0; !stale.empty() && round < kStaleRounds && !gone_; ++round) {
            // A folder's path may be stale with its rename's events on the way.
            struct pollfd queued = {source_->fd(), POLLIN, 0};
            (void)poll(&queued, 1, kRenameEventsLagMs);
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
        if (!stale.empty() && !gone_)
            settleStaleFolders(stale);
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

// Events whose folder still does not open once the queue was read on: the
// folder itself is looked at again under its name in its parent, a level up
// each round until a folder opens. A folder gone from the disk then goes from
// the volume with everything below it (rm -rf outruns its own events), and
// the events in it are moot; a folder moved comes back with its rename. What
// is left (a folder there and still not opening) stays in `stale`.
void ZLiveDirectoryVolume::settleStaleFolders(std::vector<LiveEvent>& stale)
{
    auto moot = [this](const LiveEvent& e) {
        ZEmulatedNtfsVolume::FileInfo info;
        return !volume_->fileInfo(e.directory, info) || !info.directory;
    };
    for (size_t level = 0; level < kMaxStaleLevels && !gone_; ++level) {
        stale.erase(std::remove_if(stale.begin(), stale.end(), moot), stale.end());
        std::vector<LiveEvent> up;
        std::unordered_set<DWORD> folders;
        for (const LiveEvent& e : stale) {
            ZEmulatedNtfsVolume::FileInfo info;
            if (e.directory == kRoot || !folders.insert(e.directory).second
                || !volume_->fileInfo(e.directory, info) || info.links.empty())
                continue;
            LiveEvent own;
            own.kind = LiveEvent::NameChanged;
            own.directory = info.links[0].parent;
            own.name = liveNameFromUtf16(info.links[0].name);
            up.push_back(std::move(own));
        }
        if (up.empty())
            return;
        std::vector<LiveEvent> upStale;
        applyBatch(up, upStale);
        if (gone_)
            return;
        stale.erase(std::remove_if(stale.begin(), stale.end(), moot), stale.end());
        const size_t before = stale.size();
        std::vector<LiveEvent> again;
        applyBatch(stale, again);
        // Every parent opened and no event settled: a level up changes nothing.
        const bool stuck = upStale.empty() && again.size() >= before;
        again.insert(again.end(), std::make_move_iterator(upStale.begin()), std::make_move_iterator(upStale.end()));
        stale.swap(again);
        if (stale.empty() || stuck)
            return;
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
    // False when the folder does not open at the path the volume gives it.
    auto poll = [&](DWORD folder) {
        std::string path;
        const FolderRef open = walker_.openFolder(folder, path);
        if (!open)
            return false;
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
            changes_.syncName(folder, name, LiveEvent::NameChanged);
        return true;
    };
    // One that does not open may lie below a folder whose rename this pass
    // finds: it is tried again after the others, while each round opens some.
    std::vector<DWORD> pending(folders.begin(), folders.end());
    while (!pending.empty()) {
        std::vector<DWORD> missed;
        for (DWORD folder : pending)
            if (!poll(folder))
                missed.push_back(folder);
        if (missed.size() == pending.size())
            break;
        pending.swap(missed);
    }
}

void ZLiveDirectoryVolume::run()
{
    placePendingRecords();
    // Started here, after the records are placed that the events name.
    readingAhead_ = true;
    reader_ = std::thread([this] { readAhead(); });
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
        fds[0].fd = paused || readingAhead_ ? -1 : source_->fd();
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