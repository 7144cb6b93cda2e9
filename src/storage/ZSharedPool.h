// The whole index storage of one drive: numbered shared pieces keyed by the
// pool name plus the piece number, and twenty free lists that recycle the
// runs of deleted items once they are 600,000 seconds old.
#pragma once

#include "storage/ZSharedPiece.h"
#include "win32/ZTimeConstants.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>

class QDataStream;

namespace SearchEngine {

struct FreeSlotEntry {
    QDateTime releaseTime;   // local clock
    ZLockItem run;
};

class ZSharedPool {
public:
    static constexpr int kFreeListCount = 20;
    static constexpr long long kReuseAgeSeconds = Platform::kPieceReuseAgeSeconds;
    static constexpr int kMaxPieces = 65535;
    static constexpr int kAppendPieceAttempts = 5;
    static constexpr DWORD kAppendPieceRetryMs = 100;

    ZSharedPool(const QString& name, WORD drive);
    // Releases every piece, as clear() does.
    ~ZSharedPool();
    ZSharedPool(const ZSharedPool&) = delete;
    ZSharedPool& operator=(const ZSharedPool&) = delete;

    // The name given, or another when its first key was taken before any
    // piece was made.
    QString name() const { return name_; }
    WORD drive() const { return drive_; }
    // Safe to read from any thread.
    int pieceCount() const { return pieceCount_.load(std::memory_order_acquire); }
    // 1-based; null when out of range. Owner thread only, like every
    // operation below.
    ZSharedPiece* piece(int pieceNumber) const;

    // Called by appendPiece after a piece was added, with the drive and the
    // new piece count.
    void setPieceAppendedCallback(std::function<void(unsigned short, int)> callback);

    ZSharedPiece* appendPiece();
    // A new run at the end of the pool, never a recycled one.
    ZLockItem append(int wanted);
    // A recycled run old enough for reuse, else append.
    ZLockItem allocate(int wanted);
    // Puts a run on its free list; `recent` false stamps it one day back.
    void release(ZLockItem run, bool recent);
    void forEachItem(const std::function<bool(ZLockItem)>& visitor);
    void save(QDataStream& stream);
    // Fills an empty pool with what save wrote; false (with no partly loaded
    // piece left) on any input that does not fit.
    bool load(ZSavedBytesReader& in);
    // Drops every piece and every free-list entry; name, drive and callback stay.
    void clear();

    // Test and diagnostics access to the free lists.
    const std::deque<FreeSlotEntry>& freeList(int index) const { return freeLists_[index]; }
    static int freeListIndex(int slotCount);

    // When true the pool attaches pieces made by another process.
    void setAttachOnly(bool attachOnly) { attachOnly_ = attachOnly; }

private:
    QString pieceKey(int pieceNumber) const;
    void addPiece(ZSharedPiece* piece);
    // Forgets the free-list entries that point into a piece about to go.
    void dropFreeRunsOf(const ZSharedPiece* piece);

    QString name_;   // changes only while the pool has no piece (a key taken)
    QList<ZSharedPiece*> pieces_;
    bool attachOnly_ = false;
    const WORD drive_;
    std::function<void(unsigned short, int)> pieceAppended_;
    std::deque<FreeSlotEntry> freeLists_[kFreeListCount];
    std::atomic<int> pieceCount_{0};
};

} // namespace SearchEngine
