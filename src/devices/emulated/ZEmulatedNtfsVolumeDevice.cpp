// ZEmulatedNtfsVolume: the device calls and the faults they show.
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"
#include "devices/emulated/ZEmulatedRecordEncoder.h"
#include "win32/ZUsnRequest.h"
#include "devices/ZUsnJournalStore.h"
#include "ntfs/ZUsnRecordWriter.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

// ---------------------------------------------------------------------------
// Faults

void ZEmulatedNtfsVolume::failCall(DWORD code, DWORD error, int times, int after)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.failCall(code, error, times, after);
}

void ZEmulatedNtfsVolume::clearFault(DWORD code)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.clearFault(code);
}

void ZEmulatedNtfsVolume::clearFaults()
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.clearFaults();
}

void ZEmulatedNtfsVolume::redirectRecord(DWORD requested, DWORD answer)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.redirectRecord(requested, answer);
}

void ZEmulatedNtfsVolume::clearRedirects()
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.clearRedirects();
}

void ZEmulatedNtfsVolume::setNotReady(bool notReady)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.setNotReady(notReady);
    changed_.notify_all();
}

ULONGLONG ZEmulatedNtfsVolume::callCount(DWORD code) const
{
    std::lock_guard<std::mutex> g(lock_);
    return faults_.callCount(code);
}

BOOL ZEmulatedNtfsVolume::fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// ---------------------------------------------------------------------------
// The device

bool ZEmulatedNtfsVolume::volumeInformation(VolumeInformation& info)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!faults_.admit(CallVolumeInformation, 0))
        return false;
    info.fileSystemName = options_.fileSystemName;
    info.label = options_.label;
    info.serialNumber = DWORD(options_.serialNumber);
    info.maxComponentLength = kMaxNameLength;
    info.fileSystemFlags = kNtfsVolumeFlags;
    return true;
}

bool ZEmulatedNtfsVolume::open(DWORD)
{
    std::lock_guard<std::mutex> g(lock_);
    return faults_.admit(CallOpen, 0);
}

void ZEmulatedNtfsVolume::cancelIo()
{
    std::lock_guard<std::mutex> g(lock_);
    ++cancelGeneration_;
    changed_.notify_all();
}

BOOL ZEmulatedNtfsVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize,
                                          void* out, DWORD outSize, DWORD* bytesReturned)
{
    DWORD ignored = 0;
    DWORD* returned = bytesReturned ? bytesReturned : &ignored;
    *returned = 0;
    std::unique_lock<std::mutex> lock(lock_);
    if (!faults_.admit(code, CallAnyIoControl))
        return FALSE;
    if ((!in && inSize) || (!out && outSize))
        return fail(ERROR_INVALID_PARAMETER);
    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        return getVolumeData(out, outSize, returned);
    case FSCTL_GET_NTFS_FILE_RECORD:
        return getFileRecord(in, inSize, out, outSize, returned);
    case FSCTL_ENUM_USN_DATA:
        return enumUsnData(in, inSize, out, outSize, returned);
    case FSCTL_QUERY_USN_JOURNAL:
        return queryJournal(out, outSize, returned);
    case FSCTL_CREATE_USN_JOURNAL:
        return createJournal(in, inSize);
    case FSCTL_DELETE_USN_JOURNAL:
        return deleteJournal(lock, in, inSize);
    case FSCTL_READ_USN_JOURNAL:
        return readJournal(lock, in, inSize, out, outSize, returned);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL ZEmulatedNtfsVolume::getVolumeData(void* out, DWORD outSize, DWORD* returned)
{
    if (outSize < sizeof(NTFS_VOLUME_DATA_BUFFER))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const NTFS_VOLUME_DATA_BUFFER d = volumeDataLocked();
    std::memcpy(out, &d, sizeof d);
    *returned = sizeof d;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    constexpr DWORD kHeader = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    const DWORD recordSize = options_.bytesPerRecord;
    if (inSize < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kHeader + recordSize)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    NTFS_FILE_RECORD_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    const ULONGLONG wanted = ULONGLONG(request.FileReferenceNumber.QuadPart) & Ntfs::kRecordNumberMask;
    DWORD r = wanted >= slots_.size() ? DWORD(slots_.size() - 1) : DWORD(wanted);
    if (DWORD answer = 0; faults_.redirect(r, answer))
        r = std::min<DWORD>(answer, DWORD(slots_.size() - 1));
    // A record not in use is answered with the nearest lower record in use.
    r = nearestInUse(r);
    BYTE* o = static_cast<BYTE*>(out);
    const LONGLONG reference = LONGLONG(referenceOf(r));
    std::memcpy(o + offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileReferenceNumber), &reference, sizeof reference);
    std::memcpy(o + offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordLength), &recordSize, sizeof recordSize);
    ZEmulatedRecordEncoder(*this).encodeInto(r, o + kHeader, false);
    *returned = kHeader + recordSize;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    MFT_ENUM_DATA_V1 request;
    if (!readUsnRequest<MFT_ENUM_DATA_V1, MFT_ENUM_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (request.LowUsn < 0 || request.HighUsn < request.LowUsn)
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(USN))
        return fail(ERROR_INSUFFICIENT_BUFFER);

    BYTE* o = static_cast<BYTE*>(out);
    DWORD at = sizeof(USN);
    ULONGLONG r = request.StartFileReferenceNumber & Ntfs::kRecordNumberMask;
    ULONGLONG next = r;
    bool any = false;
    for (; r < slots_.size(); ++r) {
        const Slot& s = slots_[size_t(r)];
        if (s.kind != KindBase || !(s.flags & FlagHasLink))
            continue;
        if ((s.flags & FlagMetafile) && r != Ntfs::RecordRoot && !options_.enumerateMetafiles)
            continue;
        if (s.usn < request.LowUsn || s.usn > request.HighUsn)
            continue;
        const int p = primaryLink(DWORD(r));
        const Link l = linkAt(DWORD(r), size_t(p));
        const DWORD length = ZUsnJournalStore::recordLengthFor(l.nameLength);
        if (at + length > outSize) {
            if (!any)
                return fail(ERROR_INSUFFICIENT_BUFFER);
            break;
        }
        char16_t scratch[ZNameArena::kMaxUnits];
        Ntfs::UsnRecordFields fields;
        fields.fileReference = referenceOf(DWORD(r));
        fields.parentReference = parentReferenceOf(l);
        fields.usn = s.usn;
        fields.attributes = s.attributes;
        fields.securityId = kDefaultSecurityId;
        fields.name = unitsOf(l, scratch);
        fields.nameLength = l.nameLength;
        Ntfs::writeUsnRecordV2(o + at, fields);
        at += length;
        any = true;
        next = r + 1;
    }
    if (!any)
        return fail(ERROR_HANDLE_EOF);
    std::memcpy(o, &next, sizeof next);
    *returned = at;
    return TRUE;
}


BOOL ZEmulatedNtfsVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    DWORD ignored = 0;
    DWORD* done = bytesRead ? bytesRead : &ignored;
    *done = 0;
    std::lock_guard<std::mutex> g(lock_);
    if (!faults_.admit(CallRead, 0))
        return FALSE;
    // Volume handles read whole sectors only.
    if (offset % options_.bytesPerSector || size % options_.bytesPerSector || (!buffer && size))
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD bpc = options_.bytesPerCluster;
    const ULONGLONG volumeBytes = options_.totalClusters * bpc;
    if (offset >= volumeBytes)
        return TRUE;
    const DWORD total = DWORD(std::min<ULONGLONG>(size, volumeBytes - offset));
    std::vector<BYTE> cluster(bpc);
    const ZEmulatedRecordEncoder encoder(*this);
    BYTE* o = static_cast<BYTE*>(buffer);
    DWORD copied = 0;
    while (copied < total) {
        const ULONGLONG pos = offset + copied;
        const ULONGLONG lcn = pos / bpc;
        const DWORD within = DWORD(pos % bpc);
        encoder.readCluster(lcn, cluster.data());
        const DWORD n = std::min<DWORD>(bpc - within, total - copied);
        std::memcpy(o + copied, cluster.data() + within, n);
        copied += n;
    }
    *done = copied;
    return TRUE;
}

} // namespace Platform
