// NTFS directory indexes ($I30): the $INDEX_ROOT value, the INDX block of
// $INDEX_ALLOCATION, the node header both hold and the entries after it,
// packed little-endian.
//
// $INDEX_ROOT value:  0 indexedAttributeType  4 collationRule
//                     8 indexBlockSize  12 clustersPerIndexBlock
//                    16 node header (below)
// INDX block:         0 "INDX"  4 usaOffset  6 usaCount  8 lsn  16 vcn
//                    24 node header (below), then the update sequence array
// Node header:        0 entriesOffset  4 indexLength  8 allocatedSize
//                    12 flags (1: has sub-nodes)      (offsets from here)
// Entry:              0 fileReference  8 length  10 keyLength  12 flags
//                    16 key ($FILE_NAME of the file), sub-node VCN last
#pragma once

#include "ntfs/ntfs_record.h"

namespace Ntfs {

constexpr DWORD kIndexSignature = 0x58444E49;  // "INDX"

enum IndexEntryFlags : WORD {
    IndexEntryHasSubNode = 0x0001,
    IndexEntryLast = 0x0002,
};

#pragma pack(push, 1)

struct IndexNodeHeader {
    DWORD entriesOffset;         //  0 from this header
    DWORD indexLength;           //  4 used bytes, from this header
    DWORD allocatedSize;         //  8
    BYTE flags;                  // 12 1: has sub-nodes
    BYTE reserved[3];            // 13
};
static_assert(offsetof(IndexNodeHeader, indexLength) == 4, "IndexNodeHeader layout");
static_assert(offsetof(IndexNodeHeader, flags) == 12, "IndexNodeHeader layout");
static_assert(sizeof(IndexNodeHeader) == 16, "IndexNodeHeader layout");

struct IndexRootHeader {
    DWORD indexedAttributeType;  //  0 0x30 for directories
    DWORD collationRule;         //  4 1: file names
    DWORD indexBlockSize;        //  8
    BYTE clustersPerIndexBlock;  // 12
    BYTE reserved[3];            // 13
    // The node header (IndexNodeHeader), spelt out.
    DWORD entriesOffset;         // 16 from offset 16
    DWORD indexLength;           // 20
    DWORD allocatedSize;         // 24
    BYTE flags;                  // 28 1: has index allocation
    BYTE reserved2[3];           // 29
};
static_assert(offsetof(IndexRootHeader, indexBlockSize) == 8, "IndexRootHeader layout");
static_assert(offsetof(IndexRootHeader, entriesOffset) == 16, "IndexRootHeader layout");
static_assert(offsetof(IndexRootHeader, flags) == 28, "IndexRootHeader layout");
static_assert(sizeof(IndexRootHeader) == 32, "IndexRootHeader layout");
constexpr DWORD kIndexRootNodeHeaderOffset = offsetof(IndexRootHeader, entriesOffset);
static_assert(sizeof(IndexRootHeader) - kIndexRootNodeHeaderOffset == sizeof(IndexNodeHeader),
              "IndexRootHeader ends with a node header");

struct IndexBlockHeader {
    DWORD signature;             //  0 "INDX"
    WORD usaOffset;              //  4
    WORD usaCount;               //  6
    ULONGLONG lsn;               //  8
    ULONGLONG vcn;               // 16 this block's VCN in the allocation
    IndexNodeHeader node;        // 24
};
static_assert(offsetof(IndexBlockHeader, vcn) == 16, "IndexBlockHeader layout");
static_assert(offsetof(IndexBlockHeader, node) == 24, "IndexBlockHeader layout");
static_assert(sizeof(IndexBlockHeader) == 40, "IndexBlockHeader layout");
constexpr DWORD kIndexBlockNodeHeaderOffset = offsetof(IndexBlockHeader, node);

struct IndexEntryHeader {
    ULONGLONG fileReference;     //  0
    WORD length;                 //  8
    WORD keyLength;              // 10
    WORD flags;                  // 12 IndexEntryFlags
    WORD reserved;               // 14
};
static_assert(offsetof(IndexEntryHeader, length) == 8, "IndexEntryHeader layout");
static_assert(offsetof(IndexEntryHeader, flags) == 12, "IndexEntryHeader layout");
static_assert(sizeof(IndexEntryHeader) == 16, "IndexEntryHeader layout");

#pragma pack(pop)

// The entry at pos of a node whose used bytes end at `end`, when it is not
// the last (key-less) entry and its whole length lies before end; null
// otherwise (which ends a walk of the node).
inline const IndexEntryHeader* indexEntryAt(const BYTE* node, size_t end, size_t pos)
{
    if (pos > end || end - pos < sizeof(IndexEntryHeader))
        return nullptr;
    const auto* e = reinterpret_cast<const IndexEntryHeader*>(node + pos);
    if ((e->flags & IndexEntryLast) || e->length < sizeof(IndexEntryHeader) || e->length > end - pos)
        return nullptr;
    return e;
}

// The entry's key, when it holds the key's length.
inline const BYTE* indexEntryKey(const IndexEntryHeader& e)
{
    return sizeof e + size_t(e.keyLength) <= e.length ? reinterpret_cast<const BYTE*>(&e) + sizeof e : nullptr;
}

} // namespace Ntfs
