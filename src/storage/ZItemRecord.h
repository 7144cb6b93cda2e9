// One item (a file or folder name) in a run of 32-byte slots: the packed
// little-endian record that the service writes and client processes read,
// the slot count rule, the name validity rule, item references and the
// name signature.
#pragma once

#include "storage/ZPieceHeader.h"

#include <cstddef>
#include <cstring>

namespace SearchEngine {

// Bits of ItemRecord::flags.
enum ItemFlag : BYTE {
    InUse = 0x01,        // the run holds a live item; written last
    NoNameTimes = 0x02,  // the times could not be taken from $FILE_NAME
    NoData = 0x04,       // no unnamed $DATA attribute (or unreadable): fileSize is 0
};
constexpr BYTE kItemFlagMask = InUse | NoNameTimes | NoData;

#pragma pack(push, 1)
// The fixed part of a record; the name follows at byte kItemNameOffset.
struct ItemRecord {
    BYTE flags;
    BYTE slotCount;             // run length in slots, 1..255; set by the piece
    DWORD slotIndex;            // index of the run's first slot in its piece
    DWORD recordNumber;         // low 32 bits of the file reference number
    DWORD parentRecordNumber;   // low 32 bits of the parent's file reference number
    DWORD attributes;           // Win32 file attribute bits
    ULONGLONG fileSize;
    ULONGLONG changeTime;       // $FILE_NAME bytes 24..31 (FILETIME units)
    ULONGLONG accessTime;       // $FILE_NAME bytes 32..39 (FILETIME units)
    DWORD modifyStamp;          // modifyCounter of the last journal change; 0 otherwise
    WORD nameLength;            // UTF-8 bytes of the name
    ULONGLONG nameSignature;    // see nameSignatureOf

    char* nameBytes() { return reinterpret_cast<char*>(this) + sizeof(ItemRecord); }
    const char* nameBytes() const { return reinterpret_cast<const char*>(this) + sizeof(ItemRecord); }
    // The name and the zero byte saved after it, never one an earlier item
    // of a reused run left. The run must hold both (nameFitsRun).
    void setName(const char* utf8, int length)
    {
        nameLength = WORD(length);
        std::memcpy(nameBytes(), utf8, size_t(length));
        nameBytes()[length] = 0;
    }
};
#pragma pack(pop)

static_assert(sizeof(ItemRecord) == 56, "ItemRecord fixed part is 56 bytes");
static_assert(offsetof(ItemRecord, flags) == 0, "ItemRecord.flags");
static_assert(offsetof(ItemRecord, slotCount) == 1, "ItemRecord.slotCount");
static_assert(offsetof(ItemRecord, slotIndex) == 2, "ItemRecord.slotIndex");
static_assert(offsetof(ItemRecord, recordNumber) == 6, "ItemRecord.recordNumber");
static_assert(offsetof(ItemRecord, parentRecordNumber) == 10, "ItemRecord.parentRecordNumber");
static_assert(offsetof(ItemRecord, attributes) == 14, "ItemRecord.attributes");
static_assert(offsetof(ItemRecord, fileSize) == 18, "ItemRecord.fileSize");
static_assert(offsetof(ItemRecord, changeTime) == 26, "ItemRecord.changeTime");
static_assert(offsetof(ItemRecord, accessTime) == 34, "ItemRecord.accessTime");
static_assert(offsetof(ItemRecord, modifyStamp) == 42, "ItemRecord.modifyStamp");
static_assert(offsetof(ItemRecord, nameLength) == 46, "ItemRecord.nameLength");
static_assert(offsetof(ItemRecord, nameSignature) == 48, "ItemRecord.nameSignature");

constexpr int kItemNameOffset = int(sizeof(ItemRecord));   // 56
constexpr int kMaxRunSlots = 255;
constexpr int kItemNameBufferSize = 1024;  // UTF-8 conversion buffer for one name
// Bytes of a run written to the cache file: a free run keeps flags,
// slotCount, slotIndex and recordNumber; a live run the fixed part, the
// name and the byte after it.
constexpr int kFreeRunSavedBytes = int(offsetof(ItemRecord, parentRecordNumber));   // 10
constexpr int liveRunSavedBytes(int nameLength) { return kItemNameOffset + nameLength + 1; }

// Slots needed for a record whose name has n UTF-8 bytes (2 for n <= 6).
constexpr int slotsForNameLength(int n)
{
    return (n + kItemNameOffset + 1) / int(kSlotSize) + 1;
}
static_assert(slotsForNameLength(0) == 2 && slotsForNameLength(6) == 2, "short names take 2 slots");
static_assert(slotsForNameLength(7) == 3, "a 7-byte name takes 3 slots");
static_assert(slotsForNameLength(765) == 26, "the longest NTFS name takes 26 slots");

// The name validity rule every reader follows: the name, and the byte after
// it, must lie inside the run; otherwise the name reads as empty.
constexpr bool nameFitsRun(int nameLength, int slotCount)
{
    return liveRunSavedBytes(nameLength) <= slotCount * int(kSlotSize);
}

// The flags byte is the publication point: readers load it with acquire
// order, the writer stores it last with release order.
inline BYTE loadItemFlags(const ItemRecord* r)
{
    return __atomic_load_n(&r->flags, __ATOMIC_ACQUIRE);
}
inline void storeItemFlags(ItemRecord* r, BYTE flags)
{
    __atomic_store_n(&r->flags, flags, __ATOMIC_RELEASE);
}

// itemRef: slotIndex in bits 0..31, pieceNumber in 32..47, drive in 48..63.
constexpr ULONGLONG makeItemRef(WORD drive, WORD pieceNumber, DWORD slotIndex)
{
    return ULONGLONG(slotIndex) | (ULONGLONG(pieceNumber) << 32) | (ULONGLONG(drive) << 48);
}
constexpr DWORD itemRefSlotIndex(ULONGLONG ref) { return DWORD(ref & 0xFFFFFFFFu); }
constexpr WORD itemRefPieceNumber(ULONGLONG ref) { return WORD((ref >> 32) & 0xFFFFu); }
constexpr WORD itemRefDrive(ULONGLONG ref) { return WORD(ref >> 48); }

// Byte offset of slot slotIndex within its segment.
constexpr long long slotByteOffset(DWORD slotIndex)
{
    return (long long)kSlotOffset + (long long)kSlotSize * slotIndex;
}

// Name signature over UTF-16 code units: low 32 bits one bit per unit
// (unit & 31), high 32 bits one bit per adjacent pair. ASCII upper and lower
// case letters give the same bits, so a name containing a term (case
// ignored) has every bit of the term's signature.
ULONGLONG nameSignatureOf(const WCHAR* name, int length);
ULONGLONG nameSignatureOf(const unsigned short* name, int length);

// True when every bit of the term's signature is in the name's.
constexpr bool signatureMayContain(ULONGLONG nameSignature, ULONGLONG termSignature)
{
    return (nameSignature & termSignature) == termSignature;
}

} // namespace SearchEngine
