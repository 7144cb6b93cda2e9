// The 32-byte header at byte 0 of every shared piece, and the slot geometry
// that readers in other processes and the drive cache file rely on.
#pragma once

#include "win32/win32_types.h"

#include <cstddef>

namespace SearchEngine {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "pieces and records are stored little-endian, as in memory");

constexpr DWORD kPieceVersion = 1;
constexpr DWORD kSlotSize = 32;         // bytes per slot
constexpr DWORD kSlotOffset = 32;       // byte offset of slot 0 (right after the header)
constexpr int kLargestPieceSize = 0x400000;   // 4 MiB, the first size tried
constexpr int kSmallestPieceSize = 0x20000;   // 128 KiB, the last size tried

#pragma pack(push, 1)
struct PieceHeader {
    DWORD version;      // kPieceVersion
    DWORD drive;        // drive letter's UTF-16 code unit, zero-extended
    DWORD slotOffset;   // kSlotOffset
    DWORD usedSlots;    // first slot never handed out; only grows
    DWORD slotLimit;    // dataSize / slotSize - 1: slots below it may be handed out
    DWORD slotSize;     // kSlotSize
    DWORD dataSize;     // segment size - 32
    WORD pieceNumber;   // 1-based number within the pool
    WORD reserved;      // 0
};
#pragma pack(pop)

static_assert(sizeof(PieceHeader) == 32, "PieceHeader is 32 bytes");
static_assert(offsetof(PieceHeader, version) == 0, "PieceHeader.version");
static_assert(offsetof(PieceHeader, drive) == 4, "PieceHeader.drive");
static_assert(offsetof(PieceHeader, slotOffset) == 8, "PieceHeader.slotOffset");
static_assert(offsetof(PieceHeader, usedSlots) == 12, "PieceHeader.usedSlots");
static_assert(offsetof(PieceHeader, slotLimit) == 16, "PieceHeader.slotLimit");
static_assert(offsetof(PieceHeader, slotSize) == 20, "PieceHeader.slotSize");
static_assert(offsetof(PieceHeader, dataSize) == 24, "PieceHeader.dataSize");
static_assert(offsetof(PieceHeader, pieceNumber) == 28, "PieceHeader.pieceNumber");
static_assert(offsetof(PieceHeader, reserved) == 30, "PieceHeader.reserved");
static_assert(kSlotOffset == sizeof(PieceHeader), "slot 0 follows the header");

// slotLimit for a data area of dataSize bytes: the slot count minus one.
constexpr DWORD slotLimitForDataSize(DWORD dataSize)
{
    return dataSize / kSlotSize - 1;
}

// usedSlots is read by other processes while the owner appends; it is
// written with release order after the run it covers is set up. The field
// is 4-byte aligned in every mapped header (segments are page aligned).
inline DWORD* usedSlotsField(PieceHeader* h)
{
    return reinterpret_cast<DWORD*>(reinterpret_cast<char*>(h) + offsetof(PieceHeader, usedSlots));
}
inline DWORD loadUsedSlots(const PieceHeader* h)
{
    return __atomic_load_n(usedSlotsField(const_cast<PieceHeader*>(h)), __ATOMIC_ACQUIRE);
}
inline void storeUsedSlots(PieceHeader* h, DWORD v)
{
    __atomic_store_n(usedSlotsField(h), v, __ATOMIC_RELEASE);
}

// True when a header describes a data area that fits a segment of
// segmentSize bytes: the fixed geometry, a consistent slot limit and
// usedSlots within it. Every reader checks this before using the header.
bool pieceHeaderFits(const PieceHeader& h, long long segmentSize);

} // namespace SearchEngine
