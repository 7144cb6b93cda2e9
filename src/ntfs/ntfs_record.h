// The NTFS FILE record (NTFS 3.1) and the header of each attribute in it,
// packed little-endian, offsets pinned by static_assert.
//
// FILE record header (48 bytes), then the update sequence array, then the
// attributes (each 8-byte aligned) up to an end marker 0xFFFFFFFF:
//
//    0  signature "FILE"        4  usaOffset     6  usaCount
//    8  lsn                    16  sequenceNumber 18 linkCount
//   20  firstAttributeOffset   22  flags         24 bytesInUse
//   28  bytesAllocated         32  baseFileRecord (0 in a base record)
//   40  nextAttributeId        42  reserved      44 mftRecordNumber
//
// Attribute header: 16 common bytes, then the resident part (24 bytes in
// all) or the non-resident part (64 bytes in all):
//
//    0  type                    4  length (whole attribute)
//    8  nonResident  9 nameLength (units)  10 nameOffset  12 flags  14 instance
//   resident:     16 valueLength  20 valueOffset  22 residentFlags
//   non-resident: 16 lowestVcn    24 highestVcn   32 mappingPairsOffset
//                 34 compressionUnit  40 allocatedSize  48 dataSize
//                 56 initializedSize
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

// Attribute types are multiples of 16; a type above the last one a record
// is read for ends its walk.
constexpr DWORD kAttributeTypeStep = 16;
constexpr DWORD kLastAttributeType = 0xF0;

enum FileRecordFlags : WORD {
    RecordInUse = 0x0001,
    RecordIsDirectory = 0x0002,
};

// Attribute header flags.
enum : WORD {
    AttrFlagCompressionMask = 0x00FF,
    AttrFlagEncrypted = 0x4000,
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
constexpr DWORD kAttributeAlignment = 8;
constexpr DWORD kEndMarkerSize = sizeof(DWORD);

inline ULONGLONG makeFileReference(ULONGLONG recordNumber, WORD sequence)
{
    return (recordNumber & kRecordNumberMask) | (ULONGLONG(sequence) << kSequenceShift);
}

inline ULONGLONG recordNumberOf(ULONGLONG reference) { return reference & kRecordNumberMask; }

#pragma pack(push, 1)

struct FileRecordHeader {
    DWORD signature;             //  0 "FILE"
    WORD usaOffset;              //  4 update sequence array
    WORD usaCount;               //  6 1 + number of sectors
    ULONGLONG lsn;               //  8
    WORD sequenceNumber;         // 16
    WORD linkCount;              // 18
    WORD firstAttributeOffset;   // 20
    WORD flags;                  // 22 FileRecordFlags
    DWORD bytesInUse;            // 24
    DWORD bytesAllocated;        // 28
    ULONGLONG baseFileRecord;    // 32 0 for a base record
    WORD nextAttributeId;        // 40
    WORD reserved;               // 42
    DWORD mftRecordNumber;       // 44
};
static_assert(offsetof(FileRecordHeader, usaOffset) == 4, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, sequenceNumber) == 16, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, firstAttributeOffset) == 20, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, bytesInUse) == 24, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, baseFileRecord) == 32, "FileRecordHeader layout");
static_assert(offsetof(FileRecordHeader, mftRecordNumber) == 44, "FileRecordHeader layout");
static_assert(sizeof(FileRecordHeader) == 48, "FileRecordHeader layout");

struct AttributeHeader {
    DWORD type;                  //  0 AttributeType
    DWORD length;                //  4
    BYTE nonResident;            //  8
    BYTE nameLength;             //  9 characters
    WORD nameOffset;             // 10
    WORD flags;                  // 12
    WORD instance;               // 14
    union {
        struct {
            DWORD valueLength;   // 16
            WORD valueOffset;    // 20
            BYTE residentFlags;  // 22
            BYTE reserved;       // 23
        } resident;
        struct {
            LONGLONG lowestVcn;        // 16
            LONGLONG highestVcn;       // 24
            WORD mappingPairsOffset;   // 32
            BYTE compressionUnit;      // 34
            BYTE reserved[5];          // 35
            LONGLONG allocatedSize;    // 40
            LONGLONG dataSize;         // 48
            LONGLONG initializedSize;  // 56
        } nonResident;
    } u;
};
static_assert(offsetof(AttributeHeader, length) == 4, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, nameOffset) == 10, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u) == 16, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.resident.valueOffset) == 20, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.highestVcn) == 24, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.mappingPairsOffset) == 32, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.allocatedSize) == 40, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.dataSize) == 48, "AttributeHeader layout");
static_assert(offsetof(AttributeHeader, u.nonResident.initializedSize) == 56, "AttributeHeader layout");
static_assert(sizeof(AttributeHeader) == 64, "AttributeHeader layout");
constexpr DWORD kAttributeCommonSize = 16;  // type .. instance
constexpr DWORD kResidentHeaderSize = 24;
constexpr DWORD kNonResidentHeaderSize = 64;

#pragma pack(pop)

// The record's header when the record holds one; null otherwise.
inline const FileRecordHeader* fileRecordHeaderOf(const BYTE* record, size_t size)
{
    return record && size >= sizeof(FileRecordHeader) ? reinterpret_cast<const FileRecordHeader*>(record)
                                                      : nullptr;
}

// A header whose signature, sizes, update sequence array and first attribute
// fit a record of `size` bytes.
inline bool fileRecordHeaderFits(const FileRecordHeader& h, size_t size)
{
    const size_t usaEnd = size_t(h.usaOffset) + 2 * size_t(h.usaCount);
    return h.signature == kFileRecordSignature && h.bytesAllocated == size && h.bytesInUse <= size
           && h.firstAttributeOffset >= usaEnd
           && h.firstAttributeOffset % kAttributeAlignment == 0
           && size_t(h.firstAttributeOffset) + kEndMarkerSize <= h.bytesInUse;
}

// The resident value lies inside the attribute's `length` bytes.
inline bool residentValueFits(const AttributeHeader& a)
{
    return !a.nonResident && a.length >= kResidentHeaderSize && a.u.resident.valueOffset <= a.length
           && a.u.resident.valueLength <= a.length - a.u.resident.valueOffset;
}

} // namespace Ntfs
