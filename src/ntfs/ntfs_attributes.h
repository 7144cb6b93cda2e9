// The attribute values the index reads: $STANDARD_INFORMATION, $FILE_NAME
// and the entries of an $ATTRIBUTE_LIST, packed little-endian.
//
// $STANDARD_INFORMATION (48 bytes in NTFS 1.2, 72 from NTFS 3.0):
//    0 creationTime   8 lastWriteTime  16 changeTime  24 lastAccessTime
//   32 fileAttributes 36 maxVersions   40 versionNumber 44 classId
//   48 ownerId        52 securityId    56 quotaCharged  64 usn
//
// $FILE_NAME (66 bytes, then nameLength UTF-16 units):
//    0 parentDirectory  8 creationTime 16 lastWriteTime 24 changeTime
//   32 lastAccessTime  40 allocatedSize 48 dataSize     56 fileAttributes
//   60 reparseTag      64 nameLength   65 nameSpace     66 name...
//
// Attribute-list entry (26 bytes, then the name; length 8-byte aligned):
//    0 type  4 length  6 nameLength  7 nameOffset  8 lowestVcn
//   16 segmentReference (the record holding the attribute)  24 instance
//   26 name...
#pragma once

#include "ntfs/ntfs_record.h"

namespace Ntfs {

enum FileNameSpace : BYTE {
    NameSpacePosix = 0,
    NameSpaceWin32 = 1,
    NameSpaceDos = 2,
    NameSpaceWin32AndDos = 3,
};

#pragma pack(push, 1)

struct StandardInformation {
    ULONGLONG creationTime;      //  0
    ULONGLONG lastWriteTime;     //  8
    ULONGLONG changeTime;        // 16 MFT record change
    ULONGLONG lastAccessTime;    // 24
    DWORD fileAttributes;        // 32
    DWORD maxVersions;           // 36 (end of the NTFS 1.2 form's used fields)
    DWORD versionNumber;         // 40
    DWORD classId;               // 44
    DWORD ownerId;               // 48
    DWORD securityId;            // 52
    ULONGLONG quotaCharged;      // 56
    ULONGLONG usn;               // 64
};
static_assert(offsetof(StandardInformation, fileAttributes) == 32, "StandardInformation layout");
static_assert(offsetof(StandardInformation, maxVersions) == 36, "StandardInformation layout");
static_assert(offsetof(StandardInformation, securityId) == 52, "StandardInformation layout");
static_assert(offsetof(StandardInformation, usn) == 64, "StandardInformation layout");
static_assert(sizeof(StandardInformation) == 72, "StandardInformation layout");
// The form that holds the security id and the USN.
constexpr DWORD kStandardInformationV3Size = sizeof(StandardInformation);

struct FileNameAttribute {
    ULONGLONG parentDirectory;   //  0
    ULONGLONG creationTime;      //  8
    ULONGLONG lastWriteTime;     // 16
    ULONGLONG changeTime;        // 24 read as the item's change time
    ULONGLONG lastAccessTime;    // 32 read as the item's access time
    ULONGLONG allocatedSize;     // 40
    ULONGLONG dataSize;          // 48
    DWORD fileAttributes;        // 56
    DWORD reparseTag;            // 60
    BYTE nameLength;             // 64 characters
    BYTE nameSpace;              // 65 FileNameSpace
    WCHAR name[1];               // 66
};
static_assert(offsetof(FileNameAttribute, changeTime) == 24, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, lastAccessTime) == 32, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, fileAttributes) == 56, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, nameLength) == 64, "FileNameAttribute layout");
static_assert(offsetof(FileNameAttribute, name) == 66, "FileNameAttribute layout");
constexpr DWORD kFileNameHeaderSize = 66;

struct AttributeListEntry {
    DWORD type;                  //  0
    WORD length;                 //  4
    BYTE nameLength;             //  6
    BYTE nameOffset;             //  7
    ULONGLONG lowestVcn;         //  8
    ULONGLONG segmentReference;  // 16 record that holds the attribute
    WORD instance;               // 24
    WCHAR name[1];               // 26
};
static_assert(offsetof(AttributeListEntry, lowestVcn) == 8, "AttributeListEntry layout");
static_assert(offsetof(AttributeListEntry, segmentReference) == 16, "AttributeListEntry layout");
static_assert(offsetof(AttributeListEntry, name) == 26, "AttributeListEntry layout");
constexpr DWORD kAttributeListEntryHeaderSize = 26;

#pragma pack(pop)

// The $FILE_NAME in a value of `size` bytes, with its whole name inside the
// value; null otherwise.
inline const FileNameAttribute* fileNameIn(const BYTE* value, size_t size)
{
    if (!value || size < kFileNameHeaderSize)
        return nullptr;
    const auto* fn = reinterpret_cast<const FileNameAttribute*>(value);
    return kFileNameHeaderSize + sizeof(WCHAR) * size_t(fn->nameLength) <= size ? fn : nullptr;
}

// The attribute-list entry at pos of a list of `size` bytes, when its
// header and its whole length lie inside the list; null otherwise (which
// ends a walk of the list).
inline const AttributeListEntry* attributeListEntryAt(const BYTE* list, size_t size, size_t pos)
{
    if (pos > size || size - pos < kAttributeListEntryHeaderSize)
        return nullptr;
    const auto* e = reinterpret_cast<const AttributeListEntry*>(list + pos);
    return e->length >= kAttributeListEntryHeaderSize && e->length <= size - pos ? e : nullptr;
}

// The entry's name lies inside its length.
inline bool attributeListNameFits(const AttributeListEntry& e)
{
    return size_t(e.nameOffset) + sizeof(WCHAR) * size_t(e.nameLength) <= e.length;
}

} // namespace Ntfs
