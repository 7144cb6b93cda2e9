// What the files of the raw NTFS volume share: the limits on walks driven
// by the image, the record states the record cache keeps, the summary of a
// base record and a few small helpers. Private to src/devices/raw.
#pragma once

#include "devices/raw/ZRawNtfsVolume.h"
#include "ntfs/ZNtfsRecord.h"
#include "ntfs/ZUsnRecordWriter.h"
#include "ntfs/ntfs_format.h"

#include <cstring>
#include <string>

namespace Platform {
namespace RawNtfs {

// Boot sector limits NTFS itself accepts.
constexpr DWORD kMinSectorSize = 256;
constexpr DWORD kMaxSectorSize = 4096;
constexpr DWORD kMaxClusterSize = 2u << 20;
constexpr DWORD kMinRecordSize = 512;
constexpr DWORD kMaxRecordSize = 64u << 10;

// Record numbers are handed out as DWORDs by the volume code.
constexpr ULONGLONG kMaxRecords = 1ull << 32;
// Bounds on walks driven by the image.
constexpr size_t kMaxAttributeListBytes = 4u << 20;
constexpr size_t kMaxExtensionRecords = 4096;
constexpr ULONGLONG kMaxIndexBytes = 64ull << 20;
constexpr ULONGLONG kMaxBitmapBytes = 256ull << 20;
// One enumeration call scans this many bytes of the MFT and keeps them for
// the file-record reads that follow it.
constexpr size_t kChunkBytes = 4u << 20;
constexpr size_t kJournalScanPerCall = 4u << 20;
constexpr size_t kJournalWindow = 64u << 10;
constexpr DWORD kJournalPage = 4096;
constexpr DWORD kMaxUsnRecord = 4096;

constexpr WORD kAttrFlagsUnsupported = Ntfs::AttrFlagCompressionMask | Ntfs::AttrFlagEncrypted;
constexpr ULONGLONG kLogFileRestartBytes = 8192;

constexpr WCHAR kI30[] = u"$I30";
constexpr WCHAR kJ[] = u"$J";
constexpr WCHAR kMax[] = u"$Max";

// A read-only NTFS volume: no named streams or hard links are made on it.
constexpr DWORD kRawVolumeFlags = Ntfs::FileCaseSensitiveSearch | Ntfs::FileCasePreservedNames
                                  | Ntfs::FileUnicodeOnDisk | Ntfs::FilePersistentAcls
                                  | Ntfs::FileSupportsSparseFiles | Ntfs::FileReadOnlyVolume
                                  | Ntfs::FileSupportsUsnJournal;

constexpr DWORD kUsnRecordV2Header = Ntfs::kUsnRecordV2NameOffset;
constexpr DWORD kEnumHeader = sizeof(DWORDLONG);

enum RecordStateCode { StateInUse = 0, StateFree = 1, StateCorrupt = 2 };

inline int stateCode(ZNtfsRecordState s)
{
    return s == ZNtfsRecordState::InUse ? StateInUse : s == ZNtfsRecordState::Free ? StateFree : StateCorrupt;
}

inline bool isPowerOfTwo(ULONGLONG v) { return v && !(v & (v - 1)); }

inline BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

template <typename T>
inline T load(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Multiplicative 64-bit mix of a byte block (the fingerprint of a volume
// without a journal).
inline ULONGLONG mix(ULONGLONG h, const BYTE* p, size_t n)
{
    constexpr ULONGLONG kPrime = 0x100000001B3ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        h = (h ^ load<ULONGLONG>(p + i)) * kPrime;
    for (; i < n; ++i)
        h = (h ^ p[i]) * kPrime;
    return h;
}

} // namespace RawNtfs

// The facts of one base record that the enumeration reports.
struct ZRawNtfsVolume::FileSummary {
    WORD sequence = 0;
    bool directory = false;
    DWORD attributes = 0;
    DWORD securityId = 0;
    USN usn = 0;
    ULONGLONG parent = 0;
    std::u16string name;
    bool hasName = false;
};

} // namespace Platform
