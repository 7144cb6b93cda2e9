// One named shared-memory segment of a drive's index: the 32-byte
// PieceHeader followed by 32-byte slots, handed out in runs from the end.
// Only the owning volume thread writes it; other processes read it without
// locks.
#pragma once

#include "storage/ZLockItem.h"
#include "storage/ZSharedSegment.h"

#include <QString>

#include <functional>

class QDataStream;

namespace SearchEngine {

class ZSavedBytesReader;
class ZSharedPool;

class ZSharedPiece {
public:
    ZSharedPiece(const QString& key, WORD pieceNumber, ZSharedPool* owner);
    ~ZSharedPiece();
    ZSharedPiece(const ZSharedPiece&) = delete;
    ZSharedPiece& operator=(const ZSharedPiece&) = delete;

    // Attaches to an existing segment of this user's (attachOnly) or creates
    // and formats a new one at the process-wide piece size, halving it when
    // the system refuses the size, down to 128 KiB.
    bool init(bool attachOnly, WORD drive);
    // Why the last init failed: ZSharedSegment::AlreadyExists when the key is taken.
    int initError() const;

    // Next run of up to `wanted` (1..255) slots from the end; null when full.
    // The run may be shorter than asked when the piece is nearly full.
    ZLockItem allocate(int wanted);
    // Visits every live run in slot order (repairing slotIndex on the way).
    void forEachItem(const std::function<bool(ZLockItem)>& visitor);
    // Writes the header and every run (live or free) with its length.
    void save(QDataStream& stream);
    // Replaces the header and runs with what save wrote; free runs go to
    // the owner's free lists. Rejects anything that does not fit the segment.
    bool load(ZSavedBytesReader& in);
    // Detaches and destroys the segment.
    void release();

    WORD pieceNumber() const { return pieceNumber_; }
    PieceHeader* header() const { return header_; }
    bool isFull() const;
    // Bytes of the attached segment (0 when none).
    int segmentSize() const;
    QString key() const;
    // The segment's key file.
    QString nativeKey() const;

    // The process-wide size new pieces are created with (halved on failure,
    // never raised).
    static int pieceSize();
    // Test seam: when set, a creation at `size` bytes is refused whenever the
    // function returns false, as if the system had refused it.
    static void setCreateGateForTesting(std::function<bool(int size)> gate);

private:
    ItemRecord* recordAt(DWORD slotIndex) const;
    void repairSlotIndex(ItemRecord* r, DWORD slotIndex);
    bool loadRuns(ZSavedBytesReader& in);

    ZSharedPool* owner_;
    ZSharedSegment* segment_;
    PieceHeader* header_ = nullptr;
    WORD pieceNumber_;
    int segmentSize_ = 0;
};

} // namespace SearchEngine
