// The per-drive worker: opens one NTFS volume, builds or loads the drive's
// index into its piece pool, announces it and follows the change journal.
// Every operation below runs on the volume's own thread; the service thread
// only calls the constructor, start, stop and the accessors.
#pragma once

#include "platform/windows.h"
#include "ntfs/ntfs_format.h"
#include "storage/ZItemRecord.h"
#include "storage/ZSharedPool.h"
#include "volume/ZDirectoryNode.h"
#include "volume/ZFileRecordParts.h"
#include "volume/ZRecordMap.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace SearchEngine {

// Record number (low 32 bits of a file reference) -> item; a file with hard
// links has one entry per name under the same key.
using RecordMap = ZRecordMap;

// The $FILE_NAME value of a file record that matches a journal record, and
// the record's unnamed $DATA; both null when no name matches.
struct FileNameMatch {
    const Ntfs::FileNameAttribute* name = nullptr;
    const Ntfs::AttributeHeader* data = nullptr;
};

class ZDriveVolume : public QThread {
    Q_OBJECT

public:
    // initDriveVolume results.
    enum InitResult : DWORD {
        InitOk = 0,
        InitNotNtfs = 1,
        InitOpenFailed = 2,
        InitVolumeDataFailed = 3,
        InitJournalFailed = 4,
        InitBufferFailed = 5,
    };

    // Journal sizes: a first creation, and a re-creation after a failure.
    static constexpr DWORDLONG kJournalMaximumSize = 8 * 1024 * 1024;
    static constexpr DWORDLONG kJournalAllocationDelta = 1 * 1024 * 1024;
    static constexpr DWORDLONG kRecreatedJournalMaximumSize = 32 * 1024 * 1024;
    static constexpr DWORDLONG kRecreatedJournalAllocationDelta = 4 * 1024 * 1024;

    // NTFS_FILE_RECORD_OUTPUT_BUFFER around one record: reference, length, record.
    static constexpr DWORD kRecordOutputHeaderSize = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    static constexpr DWORD kRecordBufferSlack = 15;
    // One FSCTL_ENUM_USN_DATA answer: the next start reference and 512 KiB of records.
    static constexpr DWORD kEnumBufferSize = 0x80008;

    // Construction, start and stop: ZDriveVolumeThread.cpp (start:
    // ZDriveVolume.cpp, with poolName and pieceCount).
    explicit ZDriveVolume(unsigned short drive);
    ~ZDriveVolume() override;

    void start();
    void stop();

    unsigned short drive() const { return m_drive; }
    QString poolName() const;
    int pieceCount() const;
    bool isInitDone() const { return initDoneFlag.load(); }
    DWORD modifyCounter() const { return m_modifyCounter.load(); }

    // The operations are public so that the thread body of each concern and
    // the tests can reach them; only the volume thread calls them.

    // Volume access and journal set-up: ZDriveVolumeAccess.cpp.
    DWORD initDriveVolume();
    bool queryUsnJournal();
    bool recreateUsnJournal();
    // Reads one file record into block `block` of recordBuffers (which must
    // exist); the record inside it, or null when the read failed or the
    // volume answered with another record.
    BYTE* readFileRecord(DWORD recordNumber, size_t block);
    // Grows recordBuffers to at least `count` blocks; false when out of memory.
    bool growRecordBuffers(size_t count);
    void closeVolume();

    // MFT enumeration and record parsing: ZDriveVolumeMft.cpp.
    void enumerateMft(const std::function<void(USN_RECORD_V2*)>& consumer);
    void addEnumeratedRecord(USN_RECORD_V2* rec, DirectoryMap& pendingParents, DirectoryMap& knownDirectories);
    // fileRecord holds BytesPerFileRecordSegment bytes (a block of recordBuffers).
    void parseFileRecord(DWORD recordNumber, const BYTE* fileRecord, FileRecordParts& parts, bool follow);
    // attribute is an $ATTRIBUTE_LIST header whose `length` bytes are readable.
    QList<DWORD> attributeListRecords(DWORD baseRecord, const Ntfs::AttributeHeader* attribute);
    void addDirectoryNode(DirectoryMap& knownDirectories, DirectoryMap& pendingParents, ItemRecord* item);
    // UTF-8 form of a UTF-16 name into out (kItemNameBufferSize bytes); the
    // bytes written, 0 when it does not fit.
    static int utf8NameOf(const WCHAR* name, int units, char* out);

    // Journal monitoring: ZDriveVolumeJournal.cpp. Returns how it ended: the
    // position up to which every record read was handed on, and whether a
    // stop ended it (false: it gave up and emitted listenFailed).
    struct MonitorEnd {
        USN position = 0;
        bool stopped = false;
    };
    MonitorEnd monitorUsnJournal(USN startUsn, const std::function<void(USN_RECORD_V2*, DWORD, DWORD)>& consumer);

    // Change application: ZDriveVolumeChanges.cpp.
    void applyUsnChange(USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons,
                        RecordMap::iterator& pendingRename, QDateTime& lastSaveTime);
    RecordMap::iterator findItemForRecord(const USN_RECORD_V2* rec);
    FileNameMatch matchFileName(const USN_RECORD_V2* rec, const BYTE* fileRecord);
    static QString reasonText(DWORD reasons);

    // Drive cache file: ZDriveVolumeCache.cpp.
    void saveDriveCache();
    // Saves with the journal changes applied so far counted and monitoring
    // to resume at `usn`.
    void saveAppliedChanges(USN usn);
    // The pool and the journal position from the cache file, then the
    // record map filed from the pool: the drive thread announces the drive
    // between the two, since a search needs only the pool.
    bool loadDriveCache();
    bool loadDriveCachePool();
    void fileRecordsOfPool();
    // Sets the checksum of a cache file held in memory (for tools and tests
    // that edit one); false when it is too short to carry one.
    static bool sealDriveCacheImage(QByteArray& image);
    // Removes the cache files of drives no longer in the drive table.
    static void removeDepartedDriveCaches();

    // Thread body and the pruning after a build: ZDriveVolumeThread.cpp.
    void pruneOrphans(DirectoryMap& pendingParents, DirectoryMap& knownDirectories);

    // Runs emitSignal (a callable that emits one signal) unless stop() was
    // called; stop() cannot slip in between the test and the emission, so
    // nothing is emitted once stop() has returned.
    template <typename EmitSignal>
    void emitUnlessStopped(EmitSignal emitSignal)
    {
        std::lock_guard<std::recursive_mutex> guard(stopLock);
        if (!stopRequested.load())
            emitSignal();
    }

signals:
    void initDone(bool bSucceed, QString poolName, ushort uDrive, DWORD modifyMask, DWORD pieceSize);
    void listenFailed(DWORD reason);
    void pieceAppended(ushort uDrive, DWORD pieceSize);
    void itemRemoved(ULONGLONG itemRef, DWORD modifyMask);
    void itemAppended(ULONGLONG itemRef, DWORD modifyMask);
    void itemChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);
    void itemNameChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);

protected:
    void run() override;

private:
    // Record parsing helpers: ZDriveVolumeMft.cpp.
    // The attribute walk of one record, appending to parts; the record's
    // attribute list (when follow and present) comes back in extensionRecords.
    void walkAttributes(DWORD recordNumber, const BYTE* fileRecord, FileRecordParts& parts,
                        bool follow, QList<DWORD>& extensionRecords);
    // Reads a non-resident attribute's value (all its runs) into out; false
    // when the runs are malformed. A cluster that cannot be read ends the
    // value early (out holds what was read).
    bool readNonResidentValue(const Ntfs::AttributeHeader* attribute, std::vector<BYTE>& out);

    // The stop machinery of the thread body (ZDriveVolumeThread.cpp): the
    // handle a stop may cancel a blocked read on, published and withdrawn
    // under stopLock.
    void publishVolumeHandle();
    void closeVolumeForThread();
    void cancelBlockedRead();
    void announce(bool bSucceed);

public:
    // State, in the order of the class's fields. Written by the volume thread;
    // the service thread reads only through the accessors.
    ZSharedPool* pool = nullptr;
    unsigned short m_drive = 0;                 // UTF-16 code of the drive letter (67 for C)
    HANDLE volumeHandle = nullptr;              // null while closed
    DWORD recordBufferSize = 0;                 // BytesPerFileRecordSegment + 15
    std::vector<BYTE*> recordBuffers;           // malloc'd blocks of recordBufferSize bytes
    BYTE* clusterBuffer = nullptr;              // malloc'd, BytesPerCluster bytes
    NTFS_VOLUME_DATA_BUFFER volumeData{};
    USN_JOURNAL_DATA_V1 journalData{};
    std::atomic<bool> stopRequested{false};     // set by stop(); the journal loop ends on it
    USN savedUsn = 0;                           // where journal monitoring starts
    RecordMap recordMap;
    // Journal records of names whose folder the index did not hold when they
    // were read (the folder was renamed before its creation was read, so that
    // record named a name it no longer had), by the folder's record number:
    // taken up again when the folder's item is added.
    struct ParkedRecord {
        DWORD reasons = 0;
        std::vector<ULONGLONG> bytes;   // the USN_RECORD_V2, 8-byte aligned
    };
    std::unordered_multimap<DWORD, ParkedRecord> parkedRecords;
    std::atomic<int32_t> unsavedChanges{0};
    int32_t totalChanges = 0;
    QDateTime buildTime;
    std::atomic<bool> initDoneFlag{false};
    std::atomic<DWORD> m_modifyCounter{0};      // carried by the signals as modifyMask

    // Guards stopRequested against the emissions and cancelHandle against
    // the close; recursive so that a directly connected slot may call stop().
    std::recursive_mutex stopLock;
    HANDLE cancelHandle = nullptr;              // volumeHandle while a stop may cancel its reads
};

} // namespace SearchEngine
