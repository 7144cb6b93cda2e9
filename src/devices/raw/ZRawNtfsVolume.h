// A raw NTFS volume: an image file or block device read as Windows' \\.\X:
// device would answer for it. Read-only; everything is parsed from the
// volume itself (boot sector, $MFT through its own data runs, the change
// journal $Extend\$UsnJrnl), and every length read from it is checked.
#pragma once

#include "devices/raw/ZNtfsImageSource.h"
#include "ntfs/ZNtfsRunList.h"
#include "devices/ZVolumeDevice.h"
#include "ntfs/ntfs_format.h"
#include "win32/win32_ioctl.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Platform {

class ZRawNtfsVolume : public ZVolumeDevice {
public:
    // How often a journal read that waits for records looks at the volume
    // again (on the clock seam).
    static constexpr DWORD kJournalPollMs = 100;

    // Reads the volume found in image (the image itself, or the first NTFS
    // partition of a disk image). Always yields a device; *error (if given)
    // tells why it is not a usable NTFS volume, empty when it is one. A
    // volume that is not NTFS answers volumeInformation with its file
    // system's name ("FAT32", "exFAT", ...) or ERROR_UNRECOGNIZED_VOLUME, and
    // every NTFS control code with ERROR_INVALID_FUNCTION.
    static std::shared_ptr<ZRawNtfsVolume> create(std::unique_ptr<ZNtfsImageSource> image, QString* error);

    bool isNtfs() const { return ntfs_; }

    bool volumeInformation(VolumeInformation& info) override;
    bool open(DWORD desiredAccess) override;
    BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize,
                         void* out, DWORD outSize, DWORD* bytesReturned) override;
    BOOL read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead) override;
    void cancelIo() override;

    ~ZRawNtfsVolume() override;

private:
    struct Geometry {
        DWORD bytesPerSector = 0;
        DWORD bytesPerCluster = 0;
        DWORD recordSize = 0;
        ULONGLONG totalSectors = 0;
        ULONGLONG totalClusters = 0;
        ULONGLONG mftLcn = 0;
        ULONGLONG mftMirrLcn = 0;
        ULONGLONG serialNumber = 0;
    };

    // The data of one attribute of a file, gathered from every extent.
    struct AttributeData {
        bool found = false;
        bool resident = false;
        bool unsupported = false;  // compressed or encrypted
        std::vector<BYTE> value;   // resident value
        ZNtfsRunList runs;
        LONGLONG dataSize = 0;
        LONGLONG initializedSize = 0;
    };

    struct JournalState {
        bool active = false;
        DWORDLONG id = 0;
        USN firstUsn = 0;
        USN nextUsn = 0;
        USN lowestValidUsn = 0;
        DWORDLONG maximumSize = 0;
        DWORDLONG allocationDelta = 0;
        AttributeData stream;      // $J
    };

    // The MFT records of the last enumeration call with fixups applied, for
    // the file-record reads that follow it; dropped by a journal read or
    // query and by every new enumeration call.
    struct RecordChunk {
        ULONGLONG first = 0;
        ULONGLONG count = 0;
        std::vector<BYTE> bytes;
        std::vector<BYTE> states;  // ZNtfsRecordState per record
    };

    struct FileSummary;

    explicit ZRawNtfsVolume(std::unique_ptr<ZNtfsImageSource> image);
    bool mount(QString* error);
    bool parseBootSector(const BYTE* sector, QString* error);
    bool loadMftLayout(QString* error);

    bool readVolume(ULONGLONG offset, void* buffer, size_t size);
    bool readAttribute(const AttributeData& attr, ULONGLONG offset, BYTE* buffer, size_t size,
                       bool unmappedIsZero);
    bool readRuns(const ZNtfsRunList& runs, ULONGLONG validLength, ULONGLONG offset, BYTE* buffer, size_t size,
                  bool unmappedIsZero);
    int readRecord(ULONGLONG record, BYTE* buffer);
    int cachedRecord(ULONGLONG record, BYTE* buffer);
    bool readAttributeList(const BYTE* record, std::vector<BYTE>& list);
    void forEachListedAttribute(ULONGLONG recordNumber, const std::vector<BYTE>& list,
                                const std::function<bool(const Ntfs::AttributeListEntry&, const BYTE*)>& follow,
                                const std::function<bool()>& more,
                                const std::function<void(const Ntfs::AttributeHeader*)>& visit);
    bool collectAttribute(ULONGLONG recordNumber, const BYTE* record, DWORD type,
                          const WCHAR* name, size_t nameLength, AttributeData& out);
    bool summarize(ULONGLONG recordNumber, const BYTE* record, FileSummary& summary);
    ULONGLONG findInDirectory(ULONGLONG directory, const std::u16string& name);
    bool loadJournal(JournalState& state);
    ULONGLONG volumeFingerprint();
    ULONGLONG freeClusters();

    BOOL getVolumeData(void* out, DWORD outSize, DWORD* bytesReturned);
    BOOL queryJournal(void* out, DWORD outSize, DWORD* bytesReturned);
    BOOL enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned);
    BOOL getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned);
    BOOL readJournal(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned);
    BOOL createJournal(const void* in, DWORD inSize);
    BOOL deleteJournal(const void* in, DWORD inSize);
    DWORD copyJournalRecords(const JournalState& state, const READ_USN_JOURNAL_DATA_V1& request,
                             USN start, BYTE* out, DWORD outSize, USN* next);

    std::unique_ptr<ZNtfsImageSource> image_;
    bool ntfs_ = false;
    std::u16string fileSystem_;
    std::u16string label_;
    Geometry geometry_;

    std::mutex lock_;                 // everything below, except the wait state
    ZNtfsRunList mftRuns_;
    ULONGLONG mftRecords_ = 0;        // records the MFT's valid data holds
    LONGLONG mftValidLength_ = 0;
    ULONGLONG journalRecord_ = 0;     // $UsnJrnl's record, 0 until found
    DWORDLONG noJournalToken_ = 0;    // position of the empty journal shown without one
    RecordChunk chunk_;

    std::mutex waitLock_;
    std::condition_variable waitCv_;
    std::atomic<ULONGLONG> cancelGeneration_{0};
};

// Opens an NTFS image file or block device for the drive table. Null (with
// *error) when the path cannot be opened; otherwise a device, which answers
// as a volume that is not NTFS when the image holds none (*error says why).
std::shared_ptr<ZVolumeDevice> openRawNtfsVolume(const QString& path, QString* error);

} // namespace Platform
