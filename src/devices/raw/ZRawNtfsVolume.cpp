// The raw NTFS volume as a device: how it is made, what it answers for the
// volume itself, the control-code switch, and the journal query, creation and deletion.
// Mounting is in ZRawNtfsVolumeMount.cpp, the reading of records and
// attributes in ZRawNtfsVolumeRecords.cpp, the MFT enumeration in
// ZRawNtfsVolumeEnum.cpp and the $UsnJrnl reader in ZRawNtfsVolumeJournal.cpp.
#include "devices/raw/ZRawNtfsVolumeParts.h"
#include "devices/raw/ZNtfsPartition.h"
#include "win32/ZUsnRequest.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

using namespace RawNtfs;

ZRawNtfsVolume::ZRawNtfsVolume(std::unique_ptr<ZNtfsImageSource> image)
    : image_(std::move(image))
{
}

ZRawNtfsVolume::~ZRawNtfsVolume() = default;

std::shared_ptr<ZRawNtfsVolume> ZRawNtfsVolume::create(std::unique_ptr<ZNtfsImageSource> image, QString* error)
{
    if (error)
        error->clear();
    const ZVolumeLocation where = locateVolume(*image);
    std::unique_ptr<ZNtfsImageSource> volume(new ZNtfsImageWindow(std::move(image), where.offset, where.length));
    std::shared_ptr<ZRawNtfsVolume> device(new ZRawNtfsVolume(std::move(volume)));
    device->fileSystem_ = where.fileSystem;
    if (where.fileSystem != u"NTFS") {
        if (error)
            *error = where.fileSystem.empty() ? QStringLiteral("no NTFS volume in the image")
                                              : QStringLiteral("the volume is %1, not NTFS")
                                                    .arg(QString::fromStdU16String(where.fileSystem));
        return device;
    }
    QString why;
    device->ntfs_ = device->mount(&why);
    if (!device->ntfs_) {
        // A volume NTFS cannot mount shows as an unrecognised one.
        device->fileSystem_.clear();
        if (error)
            *error = why;
    }
    return device;
}

std::shared_ptr<ZVolumeDevice> openRawNtfsVolume(const QString& path, QString* error)
{
    std::unique_ptr<ZNtfsImageSource> image = openNtfsImageFile(path, error);
    if (!image)
        return nullptr;
    return ZRawNtfsVolume::create(std::move(image), error);
}

bool ZRawNtfsVolume::volumeInformation(VolumeInformation& info)
{
    if (fileSystem_.empty()) {
        SetLastError(ERROR_UNRECOGNIZED_VOLUME);
        return false;
    }
    info = VolumeInformation();
    info.fileSystemName = fileSystem_;
    if (ntfs_) {
        info.label = label_;
        info.serialNumber = DWORD(geometry_.serialNumber);
        info.maxComponentLength = Ntfs::kMaxComponentLength;
        info.fileSystemFlags = kRawVolumeFlags;
    }
    return true;
}

bool ZRawNtfsVolume::open(DWORD)
{
    // Opening for writing is allowed, as on a write-protected disk: the
    // refusal comes with a request that would write.
    return true;
}

BOOL ZRawNtfsVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    if (bytesRead)
        *bytesRead = 0;
    const DWORD sector = ntfs_ ? geometry_.bytesPerSector : Ntfs::kSectorSize;
    if (offset % sector != 0 || size % sector != 0)
        return fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG end = image_->size();
    if (offset >= end || size == 0)
        return TRUE;
    const DWORD n = DWORD(std::min<ULONGLONG>(size, end - offset));
    if (!image_->readAt(offset, buffer, n))
        return fail(ERROR_READ_FAULT);
    if (bytesRead)
        *bytesRead = n;
    return TRUE;
}

void ZRawNtfsVolume::cancelIo()
{
    {
        std::lock_guard<std::mutex> g(waitLock_);
        cancelGeneration_.fetch_add(1);
    }
    waitCv_.notify_all();
}

BOOL ZRawNtfsVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize,
                                     void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    if (!ntfs_)
        return fail(ERROR_INVALID_FUNCTION);
    if ((inSize && !in) || (outSize && !out))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD dummy = 0;
    DWORD* returned = bytesReturned ? bytesReturned : &dummy;
    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        return getVolumeData(out, outSize, returned);
    case FSCTL_QUERY_USN_JOURNAL:
        return queryJournal(out, outSize, returned);
    case FSCTL_ENUM_USN_DATA:
        return enumUsnData(in, inSize, out, outSize, returned);
    case FSCTL_GET_NTFS_FILE_RECORD:
        return getFileRecord(in, inSize, out, outSize, returned);
    case FSCTL_READ_USN_JOURNAL:
        return readJournal(in, inSize, out, outSize, returned);
    case FSCTL_CREATE_USN_JOURNAL:
        return createJournal(in, inSize);
    case FSCTL_DELETE_USN_JOURNAL:
        return deleteJournal(in, inSize);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL ZRawNtfsVolume::getVolumeData(void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (outSize < sizeof(NTFS_VOLUME_DATA_BUFFER))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::lock_guard<std::mutex> g(lock_);
    QString ignored;
    loadMftLayout(&ignored);
    const Geometry& geo = geometry_;
    NTFS_VOLUME_DATA_BUFFER d;
    std::memset(&d, 0, sizeof d);
    d.VolumeSerialNumber.QuadPart = LONGLONG(geo.serialNumber);
    d.NumberSectors.QuadPart = LONGLONG(geo.totalSectors);
    d.TotalClusters.QuadPart = LONGLONG(geo.totalClusters);
    d.FreeClusters.QuadPart = LONGLONG(freeClusters());
    d.BytesPerSector = geo.bytesPerSector;
    d.BytesPerCluster = geo.bytesPerCluster;
    d.BytesPerFileRecordSegment = geo.recordSize;
    d.ClustersPerFileRecordSegment = geo.recordSize / geo.bytesPerCluster;
    d.MftValidDataLength.QuadPart = LONGLONG(mftRecords_ * geo.recordSize);
    d.MftStartLcn.QuadPart = LONGLONG(geo.mftLcn);
    d.Mft2StartLcn.QuadPart = LONGLONG(geo.mftMirrLcn);
    const ZNtfsRun& firstRun = mftRuns_.runs().front();
    d.MftZoneStart.QuadPart = firstRun.lcn;
    d.MftZoneEnd.QuadPart = firstRun.lcn + firstRun.length;
    std::memcpy(out, &d, sizeof d);
    *bytesReturned = sizeof d;
    return TRUE;
}

BOOL ZRawNtfsVolume::queryJournal(void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (outSize < sizeof(USN_JOURNAL_DATA_V0))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::lock_guard<std::mutex> g(lock_);
    QString ignored;
    loadMftLayout(&ignored);
    USN_JOURNAL_DATA_V1 d;
    std::memset(&d, 0, sizeof d);
    JournalState state;
    if (loadJournal(state)) {
        d.UsnJournalID = state.id;
        d.FirstUsn = state.firstUsn;
        d.NextUsn = state.nextUsn;
        d.LowestValidUsn = state.lowestValidUsn;
        d.MaximumSize = state.maximumSize;
        d.AllocationDelta = state.allocationDelta;
    } else {
        // No journal, and none can be written: an empty one positioned at the
        // volume's fingerprint, so a position kept from before a change of
        // the volume is outside it.
        noJournalToken_ = volumeFingerprint();
        d.UsnJournalID = noJournalToken_;
        d.FirstUsn = d.NextUsn = d.LowestValidUsn = USN(noJournalToken_);
    }
    d.MaxUsn = std::numeric_limits<LONGLONG>::max() & ~LONGLONG(0xFFFF);
    d.MinSupportedMajorVersion = kUsnRecordMajorVersion;
    d.MaxSupportedMajorVersion = kUsnRecordMajorVersion;
    const DWORD n = outSize >= sizeof(USN_JOURNAL_DATA_V1) ? sizeof(USN_JOURNAL_DATA_V1) : sizeof(USN_JOURNAL_DATA_V0);
    std::memcpy(out, &d, n);
    *bytesReturned = n;
    return TRUE;
}

BOOL ZRawNtfsVolume::createJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(CREATE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    // The volume always shows a journal (its own, or an empty one), and on a
    // read-only volume its sizes stay as they are: nothing to do.
    return TRUE;
}

BOOL ZRawNtfsVolume::deleteJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(DELETE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    DELETE_USN_JOURNAL_DATA d;
    std::memcpy(&d, in, sizeof d);
    if (d.DeleteFlags & ~DWORD(USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY))
        return fail(ERROR_INVALID_PARAMETER);
    // Waiting for a deletion in progress returns at once (none ever runs);
    // starting one would write.
    if (d.DeleteFlags & USN_DELETE_FLAG_DELETE)
        return fail(ERROR_WRITE_PROTECT);
    return TRUE;
}

} // namespace Platform
