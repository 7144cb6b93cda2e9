// The private parts of ZEmulatedNtfsVolume shared by the files that define
// its member groups: the compact description of an MFT record (Slot, its
// links and rare extras), the attribute layout a FILE record is encoded
// from, and the volume's fixed numbers.
#pragma once

#include "devices/emulated/ZEmulatedNameRules.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "ntfs/ZNtfsRecordBuilder.h"

#include <algorithm>
#include <limits>

namespace Platform {

namespace EmulatedNtfsParts {

using Builder = ZNtfsRecordBuilder;
using NameRules = ZEmulatedNameRules;

inline constexpr DWORD kMaxNameLength = ZEmulatedNameRules::kMaxNameLength;
inline constexpr DWORD kMaxLinks = 1024;                   // NTFS hard-link limit
inline constexpr DWORD kDefaultSecurityId = 0x100;
inline constexpr DWORD kDupFileNameIndexPresent = 0x10000000; // directory bit of $FILE_NAME
inline constexpr BYTE kResidentIndexed = 0x01;              // $FILE_NAME is indexed
inline constexpr ULONGLONG kBootAreaBytes = 0x10000;        // boot sector and spare: the MFT follows
inline constexpr DWORD kMftMirrorRecords = 4;
inline constexpr DWORD kIndexBlockSize = 4096;
inline constexpr DWORD kCollationFileName = 1;
inline constexpr WORD kIndexEntryLast = 0x2;
inline constexpr USN kMaxUsn = 0x7FFFFFFFFFFF0000ll;
inline constexpr ULONGLONG kDeletionOnDemand = ~0ull;
inline constexpr BYTE kBootJump[3] = {0xEB, 0x52, 0x90};
inline constexpr BYTE kMediaFixedDisk = 0xF8;
inline constexpr WORD kBootEndMarker = 0xAA55;

// GetVolumeInformationW flags of an NTFS volume.
inline constexpr DWORD kNtfsVolumeFlags = Ntfs::kNtfsVolumeFlags;

enum SlotKind : BYTE { KindFree = 0, KindBase = 1, KindExtension = 2 };
enum SlotFlag : BYTE { FlagDirectory = 0x1, FlagHasLink = 0x2, FlagMetafile = 0x4 };
enum TimeIndex { TimeCreation = 0, TimeWrite = 1, TimeChange = 2, TimeAccess = 3, TimeCount = 4 };

inline constexpr char16_t kIndexName[] = u"$I30";
inline constexpr BYTE kIndexNameLength = 4;

inline ULONGLONG clustersFor(ULONGLONG bytes, DWORD bytesPerCluster)
{
    return (bytes + bytesPerCluster - 1) / bytesPerCluster;
}

// A reservation as a file's description keeps it: never more than was
// reserved, so a larger one counts as too small and is made anew.
inline DWORD capacityOf(ULONGLONG clusters)
{
    return DWORD(std::min<ULONGLONG>(clusters, std::numeric_limits<DWORD>::max()));
}

inline bool powerOfTwo(DWORD v)
{
    return v && !(v & (v - 1));
}

inline signed char log2Code(DWORD bytes)
{
    signed char n = 0;
    while ((1u << n) < bytes)
        ++n;
    return static_cast<signed char>(-n);
}

} // namespace EmulatedNtfsParts

// The parent is kept by record number: a folder that holds names cannot be
// freed, so its sequence number is the one it had when the name was made.
struct ZEmulatedNtfsVolume::Link {
    DWORD parent = 0;
    DWORD nameOffset = 0;                // in names_
    BYTE nameLength = 0;
    BYTE nameSpace = 0;
    bool narrowName = false;             // stored a byte a unit (ZNameArena)

    ZNameArena::Name stored() const { return ZNameArena::Name{nameOffset, narrowName}; }
};

// One MFT record's description. Reasons of open files are kept aside
// (openReasons_): few files are open at a time.
struct ZEmulatedNtfsVolume::Slot {
    ULONGLONG times[EmulatedNtfsParts::TimeCount] = {};
    ULONGLONG dataSize = 0;
    ULONGLONG dataLcn = 0;               // 0: resident
    USN usn = 0;
    Link first;                          // with FlagHasLink
    DWORD attributes = 0;
    union {                              // a record is one of these (or none)
        DWORD baseRecord = 0;            // extension records
        DWORD childCount;                // folders: names they hold
        DWORD dataCapacity;              // files: clusters reserved at dataLcn (capacityOf)
    };
    WORD sequence = 0;
    BYTE kind = EmulatedNtfsParts::KindFree;
    BYTE flags = 0;
};

struct ZEmulatedNtfsVolume::Stream {
    std::u16string name;
    ULONGLONG size = 0;
    ULONGLONG lcn = 0;                   // 0: resident
    ULONGLONG capacity = 0;
};

struct ZEmulatedNtfsVolume::Extras {
    std::vector<Link> moreLinks;         // links after the first
    std::vector<Stream> streams;         // named $DATA, sorted by name
    std::vector<DWORD> extensionRecords;
    AttributeListForm listForm = AttributeListForm::Automatic;
    DWORD forcedExtensions = 1;
    DWORD dataRuns = 1;
    DWORD dataExtents = 1;
    DWORD listRuns = 1;
    bool nonResidentList = false;
    ULONGLONG listLcn = 0;
    ULONGLONG listCapacity = 0;
    ULONGLONG listClusters = 0;
};

struct ZEmulatedNtfsVolume::Blob {
    DWORD offset = 0;                    // in Layout::bytes
    DWORD length = 0;
    DWORD type = 0;
    ULONGLONG lowestVcn = 0;             // extents after the first of a non-resident attribute
};

struct ZEmulatedNtfsVolume::Layout {
    std::vector<Blob> blobs;             // $STANDARD_INFORMATION first, then by type
    std::vector<BYTE> bytes;
    std::vector<DWORD> home;             // per blob: 0 base, k extension record k-1
    std::vector<WORD> instance;          // per blob, in its record
    bool list = false;
    std::vector<BYTE> listBytes;         // the $ATTRIBUTE_LIST value
};

template <typename Visit>
inline bool ZEmulatedNtfsVolume::visitLinks(DWORD r, Visit&& visit) const
{
    const Slot& s = slots_[r];
    if ((s.flags & EmulatedNtfsParts::FlagHasLink) && visit(s.first))
        return true;
    if (const Extras* ex = findExtras(r))
        for (const Link& l : ex->moreLinks)
            if (visit(l))
                return true;
    return false;
}

} // namespace Platform
