// An in-process NTFS volume device. Its MFT is a table of real FILE records
// (update sequence arrays, $STANDARD_INFORMATION, $FILE_NAME in every name
// space, $DATA resident and non-resident, $INDEX_ROOT, $ATTRIBUTE_LIST in both
// forms with extension records) and its change journal holds real
// USN_RECORD_V2 records. It answers the volume calls with Windows' contracts,
// offers the changes a program makes to files (each writing the journal
// records Windows writes for it), and can fail any call on request.
//
// Records are not kept as bytes: each MFT record is a compact description
// (times, size, first name, placement) from which its FILE record is encoded
// whenever it is read, so a volume of a million files stays cheap.
//
// Raw reads (SetFilePointerEx + ReadFile, whole sectors) see cluster 0 as the
// boot sector, the MFT and its mirror at the LCNs that FSCTL_GET_NTFS_VOLUME_DATA
// and the boot sector give (records in their on-disk form, sector ends
// stamped), the clusters of non-resident attribute lists, and zeros elsewhere.
// A journal record's USN is its byte offset in the journal stream.
//
// Thread safety: every public member may be called from any thread. A journal
// read blocks without holding the lock and wakes on new records, on cancelIo,
// on setNotReady and on its time-out (measured on Platform::clock()).
#pragma once

#include "devices/ZChunkedArray.h"
#include "devices/ZFlatMultimap.h"
#include "devices/ZNameArena.h"
#include "devices/ZVolumeDevice.h"
#include "devices/emulated/ZEmulatedFaultPlan.h"
#include "win32/win32_ioctl.h"
#include "ntfs/ntfs_format.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Platform {

class ZUsnJournalStore;
class ZClock;

class ZEmulatedNtfsVolume : public ZVolumeDevice {
public:
    // How the names of a new file or link are written.
    enum class NameForm : BYTE {
        Automatic,   // Win32AndDos when the name is a valid upper-case 8.3 name,
                     // otherwise Win32 (plus a generated DOS name with Options::shortNames),
                     // POSIX for names Win32 forbids (\ : * ? " < > |, a trailing dot or space)
        Posix,       // one name in the POSIX name space (case-sensitive, as Linux names)
        Win32,       // one name in the Win32 name space, no DOS name
        Win32AndDos, // one name valid in both
    };

    // Where the attributes of a file live.
    enum class AttributeListForm : BYTE {
        Automatic,   // in the base record while they fit; else an attribute list,
                     // resident while it fits beside $STANDARD_INFORMATION
        Resident,    // always an attribute list, resident in the base record
        NonResident, // always an attribute list, in clusters of its own
    };

    struct Options {
        DWORD bytesPerSector = 512;
        DWORD bytesPerCluster = 4096;
        DWORD bytesPerRecord = 1024;     // a power of two, at least 1024
        // Invalid geometry (not a power of two, cluster below sector) falls back to these defaults.
        ULONGLONG totalClusters = 0x10000000ull;
        ULONGLONG serialNumber = 0x5A3C9E1D7B2F4680ull;
        std::u16string fileSystemName = u"NTFS";
        std::u16string label = u"Emulated";
        // The journal at construction; inactive means queries fail with 1179.
        bool journalActive = true;
        ULONGLONG journalMaximumSize = 32ull << 20;
        ULONGLONG journalAllocationDelta = 4ull << 20;
        DWORDLONG journalId = 0;         // 0: taken from the clock's FILETIME
        USN firstUsn = 0;                // USN of the first record the journal writes
        // Unnamed $DATA up to this many bytes stays resident (if it fits).
        DWORD residentDataLimit = 512;
        // NameForm::Automatic adds a generated DOS name to names that are not 8.3.
        bool shortNames = false;
        // Every change ends with USN_REASON_CLOSE; false leaves files open until close().
        bool autoClose = true;
        // FSCTL_ENUM_USN_DATA returns the metadata files 0..15 too (the root, 5, always).
        bool enumerateMetafiles = false;
        // Records reserved for the MFT's own data run (its clusters follow the boot area).
        DWORD mftCapacityRecords = 1u << 24;
    };

    struct CreateOptions {
        DWORD attributes = 0;            // FILE_ATTRIBUTE_*; 0: ARCHIVE (file) / DIRECTORY (folder)
        NameForm nameForm = NameForm::Automatic;
        std::u16string dosName;          // non-empty: the name goes Win32 + this DOS name
        ULONGLONG size = 0;              // data written right after the create
        AttributeListForm attributeList = AttributeListForm::Automatic;
        DWORD extensionRecords = 1;      // with a forced list: records to spread attributes over
        DWORD dataRuns = 1;              // non-resident $DATA split into this many runs
        // Non-resident $DATA written as this many attribute extents (lowestVcn
        // 0, ..., each in an extension record of an attribute list; only the
        // first carries the sizes, as NTFS writes them).
        DWORD dataExtents = 1;
        DWORD attributeListRuns = 1;     // a non-resident list split into this many runs
        ULONGLONG creationTime = 0;      // FILETIME; 0: the clock's now
        // Non-zero fields replace the clock's now (creationTime above wins).
        ULONGLONG lastWriteTime = 0;
        ULONGLONG changeTime = 0;
        ULONGLONG lastAccessTime = 0;
    };

    struct FileTimes {
        ULONGLONG creationTime = 0;      // FILETIME; 0 leaves the time as it is
        ULONGLONG lastWriteTime = 0;
        ULONGLONG changeTime = 0;
        ULONGLONG lastAccessTime = 0;
    };

    struct LinkInfo {
        DWORD parent = 0;                // record number of the parent folder
        std::u16string name;
        BYTE nameSpace = Ntfs::NameSpaceWin32AndDos;
    };

    // A snapshot of one file, for tests and for the live volume.
    struct FileInfo {
        DWORD record = 0;
        ULONGLONG fileReference = 0;     // record | sequence << 48
        bool directory = false;
        DWORD attributes = 0;            // as the journal reports them (DIRECTORY for folders)
        ULONGLONG size = 0;              // unnamed $DATA
        bool nonResidentData = false;
        FileTimes times;
        USN usn = 0;                     // of the file's latest journal record
        DWORD openReasons = 0;           // reasons accumulated since the last close
        std::vector<LinkInfo> links;     // every $FILE_NAME, DOS names included
        std::vector<DWORD> extensionRecords;
        bool nonResidentAttributeList = false;
    };

    struct JournalState {
        bool active = false;
        bool deleting = false;
        USN_JOURNAL_DATA_V1 data{};
    };

    // Pseudo call codes for failCall beside the FSCTL_* codes.
    enum : DWORD {
        CallVolumeInformation = 1,
        CallOpen = 2,
        CallRead = 3,
        CallAnyIoControl = 4,            // every DeviceIoControl
    };
    static constexpr int kUntilCleared = ZEmulatedFaultPlan::kUntilCleared;

    ZEmulatedNtfsVolume();
    explicit ZEmulatedNtfsVolume(const Options& options);
    ~ZEmulatedNtfsVolume() override;
    ZEmulatedNtfsVolume(const ZEmulatedNtfsVolume&) = delete;
    ZEmulatedNtfsVolume& operator=(const ZEmulatedNtfsVolume&) = delete;

    // ---- the device (ZEmulatedNtfsVolumeDevice.cpp) ------------------------
    bool volumeInformation(VolumeInformation& info) override;
    bool open(DWORD desiredAccess) override;
    BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize,
                         void* out, DWORD outSize, DWORD* bytesReturned) override;
    BOOL read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead) override;
    void cancelIo() override;

    // ---- changes (ZEmulatedNtfsVolumeChanges.cpp; compactNames and
    // nameStoreBytes in ZEmulatedNtfsVolumeNames.cpp) ------------------------
    // Each returns the record number (or true) on success; 0 (or false) with
    // SetLastError on failure: ERROR_FILE_NOT_FOUND (no such file or link),
    // ERROR_PATH_NOT_FOUND (parent is not a folder), ERROR_ALREADY_EXISTS (the
    // name is taken in that folder), ERROR_DIR_NOT_EMPTY, ERROR_INVALID_PARAMETER
    // (empty or over-long name, a metadata file), ERROR_DISK_FULL (MFT full).
    // Journal records are written only while the journal is active.

    // FILE_CREATE (then DATA_EXTEND for options.size).
    DWORD createFile(DWORD parent, const std::u16string& name);
    DWORD createFile(DWORD parent, const std::u16string& name, const CreateOptions& options);
    DWORD createFolder(DWORD parent, const std::u16string& name);
    DWORD createFolder(DWORD parent, const std::u16string& name, const CreateOptions& options);
    // DATA_OVERWRITE for bytes below the old size, DATA_EXTEND past it.
    bool write(DWORD file, ULONGLONG offset, ULONGLONG length);
    // SetEndOfFile: DATA_TRUNCATION when smaller, DATA_EXTEND when larger.
    bool truncate(DWORD file, ULONGLONG size);
    // RENAME_OLD_NAME with the old name, RENAME_NEW_NAME with the new one; a
    // move is a rename to another parent. The link is named by parent and name.
    bool rename(DWORD file, DWORD oldParent, const std::u16string& oldName,
                DWORD newParent, const std::u16string& newName);
    bool rename(DWORD file, const std::u16string& newName);   // the file's first link
    bool move(DWORD file, DWORD newParent);                   // the file's first link
    // HARD_LINK_CHANGE with the new name.
    bool link(DWORD file, DWORD parent, const std::u16string& name);
    bool link(DWORD file, DWORD parent, const std::u16string& name, NameForm form);
    // One link: HARD_LINK_CHANGE | CLOSE while other links remain, FILE_DELETE |
    // CLOSE for the last one (the record is freed, its sequence number moves on).
    bool remove(DWORD file, DWORD parent, const std::u16string& name);
    // Every link of the file; a folder must be empty.
    bool remove(DWORD file);
    // A folder with everything below it (each link removed as remove() does,
    // deepest first); files linked from outside keep those links. O(records).
    bool removeTree(DWORD file);
    // BASIC_INFO_CHANGE.
    bool setAttributes(DWORD file, DWORD attributes);
    bool setTimes(DWORD file, const FileTimes& times);
    // The same without a journal record: times that come with a change
    // already journaled (a write's modification time).
    bool setTimesQuietly(DWORD file, const FileTimes& times);
    // A named $DATA stream: STREAM_CHANGE when new, NAMED_DATA_* for its size.
    bool setStream(DWORD file, const std::u16string& streamName, ULONGLONG size);
    // USN_REASON_CLOSE with the reasons accumulated since the last close.
    // Nothing is written when no reasons are open.
    bool close(DWORD file);
    // Moves an existing file's attributes into the given placement (no journal record).
    bool setAttributeListForm(DWORD file, AttributeListForm form, DWORD extensionRecords = 1,
                              DWORD attributeListRuns = 1);
    void setAutoClose(bool autoClose);
    // The name store only grows as names are made: this drops what no link
    // uses any more (a volume with many renames and deletions over time).
    void compactNames();
    size_t nameStoreBytes() const;
    // While paused, changes write no journal records (files keep USN 0 or
    // their last one): for filling a volume before the journal matters.
    void setJournalPaused(bool paused);

    // ---- a volume as an earlier run left it (ZEmulatedNtfsVolumeRestore.cpp)
    // Nothing here writes a journal record.
    // Claims each (record, sequence) as in use and empty, so that nothing made
    // meanwhile takes those numbers; the free records between them are handed
    // out lowest first as ever. False, with nothing claimed, when a record is
    // a metadata file's, already in use, named twice or past the MFT's capacity.
    bool claimRecords(const std::vector<std::pair<DWORD, WORD>>& records);
    // Fills a claimed record as createFile/createFolder would (its parent
    // filled before it). 0 with SetLastError as they fail, or
    // ERROR_INVALID_PARAMETER for a record not claimed.
    DWORD restoreEntry(DWORD record, DWORD parent, const std::u16string& name, const CreateOptions& options,
                       bool folder);
    // Replaces the journal by the one an earlier run left: its id, its
    // records (back to back from firstUsn, as FSCTL_READ_USN_JOURNAL returns
    // them) and its NextUsn. False, the journal left as it was, when the
    // records do not run from firstUsn to nextUsn.
    bool seedJournal(DWORDLONG journalId, USN firstUsn, USN nextUsn, const std::vector<BYTE>& records);
    // Called with every journal record as it is written, the lock held: the
    // observer must not call the volume. Null: none.
    void setJournalObserver(std::function<void(const USN_RECORD_V2*)> observer);

    // ---- inspection (ZEmulatedNtfsVolume.cpp; lookup in
    // ZEmulatedNtfsVolumeNames.cpp) -------------------------------------------
    // The record holding name in parent (exact match first, then a match
    // without regard to case for Win32 names), or 0.
    DWORD lookup(DWORD parent, const std::u16string& name) const;
    bool fileInfo(DWORD file, FileInfo& info) const;
    // The names a folder holds (DOS names left out), as (record, name). O(records).
    std::vector<std::pair<DWORD, std::u16string>> children(DWORD folder) const;
    // Calls visit for every name (DOS names aside) of every file in use but
    // the metadata files, with the lock held: visit must not call the volume.
    void forEachLink(const std::function<void(DWORD record, DWORD parent, const std::u16string& name)>& visit) const;
    // The same walk with what a file shows beside each name.
    struct LinkFacts {
        DWORD record;
        DWORD parent;
        const std::u16string& name;
        WORD sequence;
        bool directory;
        DWORD attributes;                // as FileInfo gives them
        ULONGLONG size;
        FileTimes times;
    };
    void forEachLinkFacts(const std::function<void(const LinkFacts&)>& visit) const;
    ULONGLONG fileReference(DWORD record) const;   // 0 when the record is free
    bool inUse(DWORD record) const;
    DWORD recordCount() const;                     // MFT records (in use or free)
    NTFS_VOLUME_DATA_BUFFER volumeData() const;
    JournalState journalState() const;
    // The record as FSCTL_GET_NTFS_FILE_RECORD shows it (fixups applied), or
    // the on-disk form (sector ends replaced by the update sequence number).
    bool encodeRecord(DWORD record, std::vector<BYTE>& out, bool onDiskForm = false) const;

    // ---- the journal from the volume's side (ZEmulatedNtfsVolumeJournal.cpp)
    // Starts a deletion as FSCTL_DELETE_USN_JOURNAL would; it completes after
    // durationMs on the clock seam. INFINITE: it completes when a caller waits
    // for it (USN_DELETE_FLAG_NOTIFY) or at finishJournalDeletion.
    void beginJournalDeletion(DWORD durationMs = INFINITE);
    void finishJournalDeletion();
    // Drops every record and leaves a gap, so any reader position older than
    // now gets ERROR_JOURNAL_ENTRY_DELETED (a lost event queue).
    void discardJournalEntries();
    // The records written so far came as one burst (a walk's): a read from
    // before the journal's end as it is now returns them without waiting
    // for a full batch, as a read past it still does.
    void releaseJournalReads();

    // ---- faults (ZEmulatedNtfsVolumeDevice.cpp, kept by ZEmulatedFaultPlan) 
    // Calls of code (an FSCTL_* code or a Call* pseudo code) fail with error,
    // after skipping `after` calls, `times` times or kUntilCleared.
    void failCall(DWORD code, DWORD error, int times = 1, int after = 0);
    void clearFault(DWORD code);
    void clearFaults();
    // A FSCTL_GET_NTFS_FILE_RECORD of `requested` answers with `answer` instead.
    void redirectRecord(DWORD requested, DWORD answer);
    void clearRedirects();
    // While not ready every call fails with ERROR_NOT_READY (the volume went away);
    // blocked journal reads return at once.
    void setNotReady(bool notReady);
    // How many times a call code was made (failed calls included).
    ULONGLONG callCount(DWORD code) const;
    // True while a journal read waits for records past the last one written:
    // its caller has taken in every record there is.
    bool journalReadWaitingAtEnd() const;

private:
    friend class ZEmulatedRecordEncoder;   // reads the record descriptions

    struct Link;
    struct Slot;
    struct Extras;
    struct Stream;
    struct Blob;
    struct Layout;

    // Everything below runs with lock_ held. The structs are defined in
    // ZEmulatedNtfsVolumeParts.h.

    // The record table (ZEmulatedNtfsVolume.cpp).
    void initialiseMetafiles();
    ULONGLONG nowFileTime() const;
    DWORD allocateRecord();
    void freeRecord(DWORD record);
    ULONGLONG allocateClusters(ULONGLONG count);
    bool recordInUse(DWORD record) const;
    DWORD nearestInUse(DWORD record) const;
    ULONGLONG referenceOf(DWORD record) const;
    bool isBase(DWORD record) const;
    bool isFolder(DWORD record) const;
    Extras& extrasOf(DWORD record);
    const Extras* findExtras(DWORD record) const;

    // Names (ZEmulatedNtfsVolumeNames.cpp; visitLinks in ZEmulatedNtfsVolumeParts.h).
    std::vector<Link> linksOf(DWORD record) const;
    // The same without making a list: visit(link) for each in order until it
    // returns true (then true); the link at index (an empty one past the end).
    template <typename Visit>
    bool visitLinks(DWORD record, Visit&& visit) const;
    Link linkAt(DWORD record, size_t index) const;
    void storeLinks(DWORD record, const std::vector<Link>& links);
    Link makeLink(DWORD parent, const std::u16string& name, BYTE nameSpace);
    std::u16string nameOf(const Link& link) const;
    // The link's name units (widened into scratch, ZNameArena::kMaxUnits long, when stored narrow).
    const char16_t* unitsOf(const Link& link, char16_t* scratch) const;
    static DWORD parentOf(const Link& link);
    ULONGLONG parentReferenceOf(const Link& link) const;
    int findLink(const std::vector<Link>& links, DWORD parent, const std::u16string& name) const;
    int primaryLink(DWORD record) const;
    bool nameTaken(DWORD parent, const std::u16string& name, BYTE nameSpace, DWORD except) const;
    void indexName(DWORD record, const Link& link);
    void unindexName(DWORD record, const Link& link);
    std::u16string generateDosName(DWORD parent, const std::u16string& name) const;
    bool chooseNames(DWORD parent, const std::u16string& name, NameForm form, const std::u16string& dosName,
                     DWORD except, std::vector<Link>& out);
    void dropLink(DWORD record, std::vector<Link>& links, size_t index);
    void addLinks(DWORD record, std::vector<Link>& links, size_t at, const std::vector<Link>& added);

    // Placement of attributes (ZEmulatedNtfsVolumeRecords.cpp); the FILE
    // records and clusters are encoded by ZEmulatedRecordEncoder.
    void ensureClusters(ULONGLONG& lcn, ULONGLONG& capacity, ULONGLONG clusters, DWORD runs);
    void normalize(DWORD record);
    void dropListRun(DWORD record, Extras& extras);

    // Journal records of changes (ZEmulatedNtfsVolumeJournal.cpp).
    void journal(DWORD file, const Link& link, DWORD reasons);
    DWORD openReasonsOf(DWORD file) const;
    void setOpenReasons(DWORD file, DWORD reasons);
    void note(DWORD file, DWORD reason);
    void closeLocked(DWORD file);
    void closeIfAuto(DWORD file);

    // Changes (ZEmulatedNtfsVolumeChanges.cpp).
    void touch(DWORD file, bool write);
    bool storeTimes(DWORD file, const FileTimes& times);
    // setTimes (journaled: BASIC_INFO_CHANGE, then the automatic close) or setTimesQuietly.
    bool changeTimes(DWORD file, const FileTimes& times, bool journaled);
    bool checkChangeable(DWORD file) const;
    // at: a claimed record to fill (0: the lowest free one).
    DWORD createEntry(DWORD parent, const std::u16string& name, const CreateOptions& options, bool folder,
                      DWORD at = 0);
    bool renameLocked(DWORD file, DWORD oldParent, const std::u16string& oldName,
                      DWORD newParent, const std::u16string& newName);
    bool removeLocked(DWORD file, DWORD parent, const std::u16string& name);

    // Inspection (ZEmulatedNtfsVolume.cpp).
    std::vector<std::pair<DWORD, std::u16string>> childrenLocked(DWORD folder) const;
    NTFS_VOLUME_DATA_BUFFER volumeDataLocked() const;

    // Device calls (ZEmulatedNtfsVolumeDevice.cpp).
    static BOOL fail(DWORD error);
    BOOL getVolumeData(void* out, DWORD outSize, DWORD* returned);
    BOOL getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
    BOOL enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);

    // Journal calls (ZEmulatedNtfsVolumeJournal.cpp).
    USN_JOURNAL_DATA_V1 journalDataLocked() const;
    void finishDeletionLocked();
    void settleDeletion();
    BOOL queryJournal(void* out, DWORD outSize, DWORD* returned);
    BOOL createJournal(const void* in, DWORD inSize);
    BOOL deleteJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize);
    BOOL readJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize,
                     void* out, DWORD outSize, DWORD* returned);

    Options options_;
    mutable std::mutex lock_;
    std::condition_variable changed_;

    ZChunkedArray<Slot> slots_;                     // one per MFT record; slots never move
    std::vector<ULONGLONG> inUseBits_;              // MFT bitmap
    std::vector<DWORD> freeRecords_;                // min-heap of free records: the lowest is reused first
    ZNameArena names_;                              // names of the links
    std::unordered_map<DWORD, Extras> extras_;      // rare per-file parts
    std::unordered_map<DWORD, DWORD> openReasons_;  // files with reasons since their last close
    ZFlatMultimap nameIndex_;                       // (parent, folded name) hash -> record
    std::map<ULONGLONG, DWORD> listRuns_;           // first LCN of a non-resident list run -> base record
    ULONGLONG nextFreeLcn_ = 0;
    ULONGLONG mftStartLcn_ = 0;
    ULONGLONG mirrorLcn_ = 0;
    bool bootDataAtZero_ = false;                  // $Boot's data is cluster 0

    mutable ZClock* timeBaseClock_ = nullptr;      // nowFileTime's reference point
    mutable ULONGLONG timeBaseTickMs_ = 0;
    mutable ULONGLONG timeBaseFileTime_ = 0;

    std::unique_ptr<ZUsnJournalStore> journal_;
    std::function<void(const USN_RECORD_V2*)> journalObserver_;
    bool journalActive_ = false;
    bool journalPaused_ = false;
    bool journalDeleting_ = false;
    ULONGLONG deletionDeadlineMs_ = 0;             // on the clock seam; ~0: on demand
    DWORDLONG journalId_ = 0;
    USN lowestValidUsn_ = 0;
    ULONGLONG journalMaximumSize_ = 0;
    ULONGLONG journalAllocationDelta_ = 0;

    ZEmulatedFaultPlan faults_;                  // faults, redirects, call counts, not-ready
    ULONGLONG cancelGeneration_ = 0;
    USN waitingReadAt_ = -1;                     // StartUsn of a journal read that waits; -1: none
    USN releasedUpTo_ = 0;                       // reads starting below it do not wait (releaseJournalReads)
};

} // namespace Platform
