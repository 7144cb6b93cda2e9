// The partition tables a disk image may start with: the MBR (four 16-byte
// entries at 446 of sector 0, signature 0xAA55 at 510) and GPT (header in
// LBA 1, entries where it says), packed little-endian.
//
// MBR entry:  0 status  1 chsFirst  4 type (0xEE: GPT protective)  5 chsLast
//             8 firstLba  12 sectorCount
// GPT header: 0 "EFI PART"  8 revision  12 headerSize  16 headerCrc
//            24 currentLba  32 backupLba  40 firstUsableLba  48 lastUsableLba
//            56 diskGuid  72 entriesLba  80 entryCount  84 entrySize  88 entriesCrc
// GPT entry:  0 typeGuid (all zero: unused)  16 uniqueGuid  32 firstLba
//            40 lastLba (inclusive)  48 attributes  56 name
#pragma once

#include "win32/win32_types.h"

#include <cstddef>
#include <cstring>

namespace Ntfs {

constexpr size_t kMbrSectorSize = 512;
constexpr size_t kMbrTableOffset = 446;
constexpr int kMbrEntries = 4;
constexpr size_t kMbrSignatureOffset = 510;
constexpr WORD kMbrSignature = 0xAA55;
constexpr BYTE kMbrGptProtective = 0xEE;
constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr DWORD kMaxGptEntrySize = 4096;

#pragma pack(push, 1)

struct MbrPartitionEntry {
    BYTE status;                 //  0
    BYTE chsFirst[3];            //  1
    BYTE type;                   //  4
    BYTE chsLast[3];             //  5
    DWORD firstLba;              //  8
    DWORD sectorCount;           // 12
};
static_assert(offsetof(MbrPartitionEntry, type) == 4, "MbrPartitionEntry layout");
static_assert(offsetof(MbrPartitionEntry, firstLba) == 8, "MbrPartitionEntry layout");
static_assert(sizeof(MbrPartitionEntry) == 16, "MbrPartitionEntry layout");

struct GptHeader {
    char signature[8];           //  0 "EFI PART"
    DWORD revision;              //  8
    DWORD headerSize;            // 12
    DWORD headerCrc;             // 16
    DWORD reserved;              // 20
    ULONGLONG currentLba;        // 24
    ULONGLONG backupLba;         // 32
    ULONGLONG firstUsableLba;    // 40
    ULONGLONG lastUsableLba;     // 48
    BYTE diskGuid[16];           // 56
    ULONGLONG entriesLba;        // 72
    DWORD entryCount;            // 80
    DWORD entrySize;             // 84
    DWORD entriesCrc;            // 88
};
static_assert(offsetof(GptHeader, currentLba) == 24, "GptHeader layout");
static_assert(offsetof(GptHeader, entriesLba) == 72, "GptHeader layout");
static_assert(offsetof(GptHeader, entryCount) == 80, "GptHeader layout");
static_assert(offsetof(GptHeader, entrySize) == 84, "GptHeader layout");
static_assert(sizeof(GptHeader) == 92, "GptHeader layout");

struct GptEntry {
    BYTE typeGuid[16];           //  0
    BYTE uniqueGuid[16];         // 16
    ULONGLONG firstLba;          // 32
    ULONGLONG lastLba;           // 40 inclusive
    ULONGLONG attributes;        // 48
};
static_assert(offsetof(GptEntry, firstLba) == 32, "GptEntry layout");
static_assert(offsetof(GptEntry, lastLba) == 40, "GptEntry layout");
static_assert(sizeof(GptEntry) == 56, "GptEntry layout");

#pragma pack(pop)

// Entry i (0..3) of the MBR in a 512-byte sector.
inline MbrPartitionEntry mbrEntry(const BYTE* sector, int i)
{
    MbrPartitionEntry e;
    std::memcpy(&e, sector + kMbrTableOffset + size_t(i) * sizeof e, sizeof e);
    return e;
}

// The 512-byte sector ends with 0xAA55.
inline bool hasMbrSignature(const BYTE* sector)
{
    WORD sig;
    std::memcpy(&sig, sector + kMbrSignatureOffset, sizeof sig);
    return sig == kMbrSignature;
}

inline bool gptEntryUnused(const GptEntry& e)
{
    static const BYTE kUnused[sizeof e.typeGuid] = {};
    return std::memcmp(e.typeGuid, kUnused, sizeof kUnused) == 0;
}

} // namespace Ntfs
