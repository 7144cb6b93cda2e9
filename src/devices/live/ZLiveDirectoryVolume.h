// A Linux directory tree shown as an NTFS volume: an emulated NTFS volume
// whose files are the tree's, kept current from the kernel's notifications.
//
// At open the change source is set up first and the tree walked after
// (getdents64 + statx, one file system only, symbolic links never followed,
// each folder opened by name in its open parent from the root down), so
// nothing changed during the walk is lost: every event names a directory
// entry, which is looked at again on disk and the volume brought in line with
// it, writing the journal records Windows would write for the change.
//
// Record numbers are kept per inode (the root is 5; hard links are one
// record with several names; a freed number comes back with the next
// sequence number). Names are converted without loss (ZLiveNameCodec.h).
//
// The kernel reports a change under the name it was made through: a write
// through one hard link of a file is seen in that name's folder only. While
// that name lasts until the event is read, the file's record (and so every
// name of it) is brought in line; a write through a link outside the tree,
// or through one removed before its event is read, is not seen until the
// file changes again under a name in the tree.
//
// What is not followed is said, never hidden: a lost event queue discards
// the journal's entries (readers get ERROR_JOURNAL_ENTRY_DELETED) and the
// volume walks the tree again; directories that cannot be watched are counted,
// named in the error log and read again every few seconds; a root that goes away makes every call fail
// with ERROR_NOT_READY.
//
// Between runs (with a state folder, ZLiveDriveState.h) the journal and the
// record identities are kept. An open that finds them whole, of this tree
// and of one moment restores the records under their numbers and sequence
// numbers and the journal under its id, FirstUsn and NextUsn, and returns at
// once; the event thread then walks the tree and compares it with what the
// last run saw (names, inodes, sizes, modification times, attributes),
// writing the journal records of every difference. Any doubt about the state
// means a fresh journal (its first USN the real-time clock in 100 ns units,
// its id fresh), so nothing an earlier run stored is taken for this run's.
#pragma once

#include "devices/ZChunkedArray.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "devices/live/ZLiveAtomicFile.h"
#include "devices/live/ZLiveChangeApplier.h"
#include "devices/live/ZLiveChangeSource.h"
#include "devices/live/ZLiveDriveState.h"
#include "devices/live/ZLiveIdentitySnapshot.h"
#include "devices/live/ZLiveTreeWalker.h"
#include "devices/ZVolumeDevice.h"
#include "win32/ZErrorLog.h"

#include <QString>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Platform {

class ZLiveDirectoryVolume : public ZVolumeDevice {
public:
    enum class Source { Automatic, Fanotify, Inotify };

    // Forces the inotify source when set to "inotify" (tests, file systems
    // where fanotify misbehaves).
    static constexpr const char* kSourceEnvironment = "ORVANTA_LIVE_SOURCE";
    // At most this many directories are named in the log one by one; the
    // rest are counted.
    static constexpr DWORD kUnwatchableNamedMax = 100;

    struct Options {
        Source source = Source::Automatic;
        // Events read but not yet applied beyond this count are taken as a
        // lost queue, as the kernel's own limit is (0: only the kernel's).
        size_t eventQueueLimit = 0;
        // inotify: watches beyond this many fail as at the kernel's limit (0: only the kernel's).
        size_t watchLimit = 0;
        // Receives the error lines (unwatchable directories) and the notices
        // about the state of the last run (with their level first); null: the
        // platform log.
        std::function<void(const QString&)> errorLog;
        // The folder the drive keeps its journal and identities in between
        // runs, and the name (the drive letter) in their file names and in
        // the log. No folder: nothing is kept, every open is a fresh journal.
        QString stateFolder;
        QString stateName;
        // Tests: kills in the writes of the state files (ZLiveAtomicFile.h).
        ZLiveWriteFault stateWriteFault;
        // Tests: called on the event thread before a resume's records are placed.
        std::function<void()> beforePlacing;
        // Tests: called on the event thread before each batch of events is applied.
        std::function<void()> beforeApplying;
        // Tests: called as a walk has read an entry (by its whole path), before it is filed.
        std::function<void(const std::string& path)> walkRead;
        // Tests: called with the events as read from the kernel, their folders as known then.
        std::function<void(const std::vector<LiveEvent>& events)> eventsRead;
    };

    // Walks root and starts following it. Null with *error when root is not
    // a directory that can be read (*error says why, without the path: the
    // caller names the drive).
    static std::shared_ptr<ZLiveDirectoryVolume> open(const QString& root, const Options& options,
                                                      QString* error);
    ~ZLiveDirectoryVolume() override;

    bool volumeInformation(VolumeInformation& info) override;
    bool open(DWORD desiredAccess) override;
    BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize,
                         void* out, DWORD outSize, DWORD* bytesReturned) override;
    BOOL read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead) override;
    void cancelIo() override;

    // ---- inspection (tests, benchmarks) ----------------------------------
    const ZEmulatedNtfsVolume& volume() const
    {
        waitForRecords();
        return *volume_;
    }
    const char* sourceName() const;
    // Directories whose changes cannot be followed or whose entries cannot be read.
    DWORD unwatchableDirectories() const { return unwatchable_; }
    ULONGLONG overflows() const { return overflows_; }
    bool notReady() const { return gone_; }
    // The open restored the last run's state (the walk comparing the tree
    // with it runs on the event thread; settle() waits for it).
    bool resumed() const { return resumed_; }
    // The NextUsn the restored journal had: the walk's records come after it.
    USN resumedAt() const { return resumedAt_; }
    // Waits (at most timeoutMs real milliseconds) until every event the
    // kernel has queued so far is applied, and the folders that cannot be
    // followed have been read again. False on time-out.
    bool settle(int timeoutMs);
    // While paused the kernel's events are left in its queue (tests of a lost queue).
    void setEventsPaused(bool paused);

private:
    explicit ZLiveDirectoryVolume(const Options& options);
    bool start(const std::string& root, QString* error);
    ZEmulatedNtfsVolume::Options volumeOptions() const;

    // Between runs (ZLiveDirectoryVolumeResume.cpp).
    void openState(const ZEmulatedNtfsVolume::Options& fresh);
    bool restore(ZLiveIdentitySnapshot::Image& table, QString* reason);
    bool placeRecords(QString* reason);
    void placePendingRecords();
    // Until the records of a resume are placed, calls that read them wait.
    void waitForRecords() const;
    // The journal query and the volume data while the records are placed.
    BOOL answerFromOpen(DWORD code, void* out, DWORD outSize, DWORD* bytesReturned) const;
    void reconcile();
    // Every name the volume holds, into the table of the next run.
    void writeIdentities(ZLiveIdentitySnapshot::Writer& table) const;
    void saveState();
    std::unique_ptr<ZLiveChangeSource> makeSource(Source which);

    friend class ZLiveTreeWalker;
    friend class ZLiveChangeApplier;
    using FolderRef = ZLiveTreeWalker::FolderRef;

    // Everything below runs with stateLock_ held.
    void watch(int fd, const std::string& path, DWORD record);
    void reportUnfollowed(const std::string& path, DWORD record, int err, bool unreadable);
    void forgetRecord(DWORD record);
    void rememberInode(DWORD record, const LiveFileStat& st);
    DWORD recordOfInode(ULONGLONG inode, DWORD links);
    ULONGLONG identityOf(const LiveFileStat& st) const;
    // The record holds the file st describes (its inode; while reconciling,
    // its birth time too where the file system keeps one).
    bool sameFile(DWORD record, const LiveFileStat& st) const;
    void rescan();
    // After a walk that marked what it met in `seen`: every name held in a
    // folder it read that it did not meet (or of a file with several names)
    // is looked at again on disk.
    void syncUnmet(const std::vector<bool>& seen);
    void pollUnwatched();
    void markGone();
    void logError(const QString& line, PlatformLogLevel level = PlatformLogLevel::Error);

    void run();
    // The kernel's queue read on a thread of its own (readAhead), so that no
    // work of the event thread (a journal file rewritten, a big folder
    // walked) lets it overflow: a burst waits in pending_ instead.
    void readAhead();
    bool drain();   // true when events were read
    void applyPending();
    void applyBatch(const std::vector<LiveEvent>& batch, std::vector<LiveEvent>& stale);
    void settleStaleFolders(std::vector<LiveEvent>& stale);

    Options options_;
    ZLiveTreeWalker walker_;
    ZLiveChangeApplier changes_;
    std::unique_ptr<ZLiveDriveState> state_;               // null: nothing kept between runs
    std::unique_ptr<ZEmulatedNtfsVolume> volume_;
    std::unique_ptr<ZLiveChangeSource> source_;
    std::mutex sourceLock_;                               // source_'s maps: walk and event thread
    std::string root_;
    FolderRef rootFolder_;
    ULONGLONG rootDevice_ = 0;
    ULONGLONG rootInode_ = 0;

    mutable std::mutex stateLock_;
    ZChunkedArray<ULONGLONG> inodes_;                     // per record; 0: none (mount points)
    std::unordered_map<ULONGLONG, DWORD> linkedInodes_;   // inodes with several links -> record
    // Inodes a walk gave a record of their own while they had several links
    // (ZLiveChangeApplier::joinSplitLinks).
    std::unordered_set<ULONGLONG> linkedByWalk_;
    // A resume's files as (inode, record), sorted: the walk after the restart only.
    std::vector<std::pair<ULONGLONG, DWORD>> restoredInodes_;
    std::unordered_map<ULONGLONG, DWORD> folderOfInode_;  // folders' inodes -> record
    std::unordered_set<DWORD> unread_;                    // folders filed whose entries were never read
    std::vector<LiveEvent> deferred_;                     // sides of renames to look at again
    // Both names of each folder the first walk met under two (its listings
    // are filed in an order of their own), looked at again once it ends.
    std::vector<std::pair<DWORD, std::string>> metTwiceByWalk_;
    std::mutex reportLock_;                               // the two below: walk readers and event thread
    DWORD unwatchableNamed_ = 0;
    size_t nameBytesKept_ = 0;                            // the name store after its last compaction
    std::unordered_set<DWORD> unwatchableRecords_;       // counted and named once each
    std::atomic<DWORD> unwatchable_{0};
    std::atomic<ULONGLONG> overflows_{0};
    std::atomic<bool> gone_{false};
    std::atomic<bool> walking_{false};                   // the first walk runs
    std::atomic<bool> resumed_{false};
    USN resumedAt_ = 0;
    std::atomic<bool> reconcilePending_{false};          // the walk after a resume is still to run
    // A resume's records, checked at the open and placed by the event thread.
    ZLiveIdentitySnapshot::Image pendingTable_;
    std::vector<std::pair<DWORD, WORD>> pendingClaims_;  // (record, sequence), each once
    std::vector<DWORD> pendingOrder_;                    // entries of pendingTable_, parents first
    std::atomic<bool> restorePending_{false};
    // What the calls that do not wait for the records answer meanwhile: the
    // placing holds the volume's lock for long, and nothing it does changes
    // these (the journal is paused).
    struct {
        VolumeInformation information;
        NTFS_VOLUME_DATA_BUFFER volumeData{};
        USN_JOURNAL_DATA_V1 journal{};
    } atOpen_;
    mutable std::mutex placedLock_;
    mutable std::condition_variable placedCv_;
    bool placed_ = true;                                 // placedLock_
    bool reconciling_ = false;                           // it runs (stateLock_)

    // The event thread and what it shares with settle().
    std::thread thread_;
    std::thread reader_;                                 // started by the event thread
    std::atomic<bool> readingAhead_{false};
    int wakeFd_ = -1;
    int readerWakeFd_ = -1;
    std::mutex eventLock_;
    std::condition_variable eventCv_;
    std::vector<LiveEvent> pending_;
    bool overflowPending_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    ULONGLONG settleRequested_ = 0;
    ULONGLONG settleDone_ = 0;
};

} // namespace Platform
