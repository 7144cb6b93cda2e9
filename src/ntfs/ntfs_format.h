// On-disk NTFS structures (NTFS 3.1), little-endian, packed, with their
// published offsets pinned by static_assert.
#pragma once

#include "win32/win32_types.h"

#include <cstddef>

namespace Ntfs {

enum AttributeType : DWORD {
    AttrStandardInformation = 0x10,
    AttrAttributeList = 0x20,
    AttrFileName = 0x30,
    AttrObjectId = 0x40,
    AttrSecurityDescriptor = 0x50,
    AttrVolumeName = 0x60,
    AttrVolumeInformation = 0x70,
    AttrData = 0x80,
    AttrIndexRoot = 0x90,
    AttrIndexAllocation = 0xA0,
    AttrBitmap = 0xB0,
    AttrReparsePoint = 0xC0,
    AttrEnd = 0xFFFFFFFFu,
};

enum FileNameSpace : BYTE {
    NameSpacePosix = 0,
    NameSpaceWin32 = 1,
    NameSpaceDos = 2,
    NameSpaceWin32AndDos = 3,
};

enum FileRecordFlags : WORD {
    RecordInUse = 0x0001,
    RecordIsDirectory = 0x0002,
};

// Well-known record numbers.
enum : DWORD {
    RecordMft = 0,
    RecordMftMirr = 1,
    RecordLogFile = 2,
    RecordVolume = 3,
    RecordAttrDef = 4,
    RecordRoot = 5,
    RecordBitmap = 6,
    RecordBoot = 7,
    RecordBadClus = 8,
    RecordSecure = 9,
    RecordUpCase = 10,
    RecordExtend = 11,
    RecordFirstUser = 16,
};

constexpr DWORD kFileRecordSignature = 0x454C4946; // "FILE"
constexpr DWORD kSectorSize = 512;                 // update-sequence stride
constexpr ULONGLONG kRecordNumberMask = 0x0000FFFFFFFFFFFFull;
constexpr int kSequenceShift = 48;

inline ULONGLONG makeFileReference(ULONGLONG recordNumber, WORD sequence)
{
    return (recordNumber & kRecordNumberMask) | (ULONGLONG(sequence) << kSequenceShift);
}

#pragma pack(push, 1)

struct BootSector {
    BYTE jump[3];
    char oemId[8];               // "NTFS    "
    WORD bytesPerSector;
    BYTE sectorsPerCluster;
    WORD reservedSectors;
    BYTE zero1[3];
    WORD unused1;
    BYTE mediaDescriptor;
    WORD zero2;
    WORD sectorsPerTrack;
    WORD numberOfHeads;
    DWORD hiddenSectors;
    DWORD unused2;
    DWORD unused3;
    LONGLONG totalSectors;
    LONGLONG mftLcn;
    LONGLONG mftMirrLcn;
    signed char clustersPerFileRecord; // negative: 2^-n bytes
    BYTE pad1[3];
    signed char clustersPerIndexBuffer;
    BYTE pad2[3];
    ULONGLONG volumeSerialNumber;
    DWORD checksum;
    BYTE bootstrap[426];
    WORD endMarker;              // 0xAA55
};
static_assert(offsetof(BootSector, bytesPerSector) == 11, "BootSector layout");
static_assert(offsetof(BootSector, totalSectors) == 40, "BootSector layout");
static_assert(offsetof(BootSector, mftLcn) == 48, "BootSector layout");
static_assert(offsetof(BootSector, clustersPerFileRecord) == 64, "BootSector layout");
static_assert(offsetof(BootSector, volumeSerialNumber) == 72, "BootSector layout");
static_assert(sizeof(BootSector) == 512, "BootSector layout");

struct FileRecordHeader {
    DWORD signature;             // "FILE"
    WORD usaOffset;              // update sequence array
    WORD usaCount;               // 1 + number of sectors
    ULONGLONG lsn;
    WORD sequenceNumber;
    WORD linkCount;
    WORD firstAttributeOffset;
    WORD flags;                  // FileRecordFlags
    DWORD bytesInUse;
    DWORD bytesAllocated;
    ULONGLONG baseFileRecord;    // 0 for a base record
    WORD nextAttributeId;
    WORD reserved;
    DWORD mftRecordNumber;
};
static_assert(offsetof(FileRecordHeader, firstAttributeOffset) == 20, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, baseFileRecord) == 32, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, mftRecordNumber) == 44, "FileRecordHeader layout");
static_assert(sizeof(FileRecordHeader) == 48, "FileRecordHeader layout");

struct AttributeHeader {
    DWORD type;
    DWORD length;
    BYTE nonResident;
    BYTE nameLength;             // characters
    WORD nameOffset;
    WORD flags;
    WORD instance;
    union {
        struct {
            DWORD valueLength;
            WORD valueOffset;
            BYTE residentFlags;
            BYTE reserved;
        } resident;
        struct {
            LONGLONG lowestVcn;
            LONGLONG highestVcn;
            WORD mappingPairsOffset;
            BYTE compressionUnit;
            BYTE reserved[5];
            LONGLONG allocatedSize;
            LONGLONG dataSize;
            LONGLONG initializedSize;
        } nonResident;
    } u;
};
static_assert(offsetof(AttributeHeader, u) == 16, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.resident.valueOffset) == 20, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.mappingPairsOffset) == 32, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.dataSize) == 48, "AttributeHeader layout");
static_assert(sizeof(AttributeHeader) == 64, "AttributeHeader layout");
constexpr DWORD kResidentHeaderSize = 24;
constexpr DWORD kNonResidentHeaderSize = 64;

struct StandardInformation {
    ULONGLONG creationTime;
    ULONGLONG lastWriteTime;
    ULONGLONG changeTime;        // MFT record change
    ULONGLONG lastAccessTime;
    DWORD fileAttributes;
    DWORD maxVersions;
    DWORD versionNumber;
    DWORD classId;
    DWORD ownerId;
    DWORD securityId;
    ULONGLONG quotaCharged;
    ULONGLONG usn;
};
static_assert(offsetof(StandardInformation, fileAttributes) == 32, "StandardInformation layout");
static_assert(offsetof(StandardInformation, usn) == 64, "StandardInformation layout");
static_assert(sizeof(StandardInformation) == 72, "StandardInformation layout");

struct FileNameAttribute {
    ULONGLONG parentDirectory;
    ULONGLONG creationTime;
    ULONGLONG lastWriteTime;
    ULONGLONG changeTime;        // read as the item's change time
    ULONGLONG lastAccessTime;    // read as the item's access time
    ULONGLONG allocatedSize;
    ULONGLONG dataSize;
    DWORD fileAttributes;
    DWORD reparseTag;
    BYTE nameLength;             // characters
    BYTE nameSpace;              // FileNameSpace
    WCHAR name[1];
};
static_assert(offsetof(FileNameAttribute, changeTime) == 24, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, lastAccessTime) == 32, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, nameLength) == 64, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, name) == 66, "FileNameAttribute layout");
constexpr DWORD kFileNameHeaderSize = 66;

struct AttributeListEntry {
    DWORD type;
    WORD length;
    BYTE nameLength;
    BYTE nameOffset;
    ULONGLONG lowestVcn;
    ULONGLONG segmentReference;  // record that holds the attribute
    WORD instance;
    WCHAR name[1];
};
static_assert(offsetof(AttributeListEntry, segmentReference) == 16, "AttributeListEntry layout");
static_assert(offsetof(AttributeListEntry, name) == 26, "AttributeListEntry layout");
constexpr DWORD kAttributeListEntryHeaderSize = 26;

struct IndexRootHeader {
    DWORD indexedAttributeType;  // 0x30 for directories
    DWORD collationRule;         // 1: file names
    DWORD indexBlockSize;
    BYTE clustersPerIndexBlock;
    BYTE reserved[3];
    // INDEX_HEADER
    DWORD entriesOffset;         // from this INDEX_HEADER
    DWORD indexLength;
    DWORD allocatedSize;
    BYTE flags;                  // 1: has index allocation
    BYTE reserved2[3];
};
static_assert(sizeof(IndexRootHeader) == 32, "IndexRootHeader layout");
constexpr DWORD kIndexRootNodeHeaderOffset = 16;

struct IndexEntryHeader {
    ULONGLONG fileReference;
    WORD length;
    WORD keyLength;
    WORD flags;                  // 1: has sub-node, 2: last entry
    WORD reserved;
};
static_assert(sizeof(IndexEntryHeader) == 16, "IndexEntryHeader layout");

#pragma pack(pop)

} // namespace Ntfs
