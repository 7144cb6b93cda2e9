#include "storage/ZSharedPool.h"

#include "frame/ZLog.h"
#include "storage/ZSavedBytesReader.h"
#include "win32/ZClock.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QUuid>

namespace SearchEngine {

ZSharedPool::ZSharedPool(const QString& name, WORD drive) : name_(name), drive_(drive) {}

ZSharedPool::~ZSharedPool()
{
    clear();
}

int ZSharedPool::freeListIndex(int slotCount)
{
    if (slotCount < 1)
        slotCount = 1;
    return (slotCount < kFreeListCount ? slotCount : kFreeListCount) - 1;
}

QString ZSharedPool::pieceKey(int pieceNumber) const
{
    return name_ + QString::number(pieceNumber);
}

ZSharedPiece* ZSharedPool::piece(int pieceNumber) const
{
    if (pieceNumber < 1 || pieceNumber > pieces_.size())
        return nullptr;
    return pieces_[pieceNumber - 1];
}

void ZSharedPool::setPieceAppendedCallback(std::function<void(unsigned short, int)> callback)
{
    pieceAppended_ = std::move(callback);
}

void ZSharedPool::addPiece(ZSharedPiece* piece)
{
    pieces_.append(piece);
    pieceCount_.store(pieces_.size(), std::memory_order_release);
}

ZSharedPiece* ZSharedPool::appendPiece()
{
    const int number = pieceCount() + 1;
    // Piece numbers are 16 bits wide in headers and item references.
    if (number > kMaxPieces) {
        LOG(ERROR) << "piece pool full: " << name_;
        QCoreApplication::quit();
        return nullptr;
    }
    ZSharedPiece* p = new ZSharedPiece(pieceKey(number), WORD(number), this);
    for (int attempt = 0; attempt < kAppendPieceAttempts; ++attempt) {
        if (p->init(attachOnly_, drive_)) {
            addPiece(p);
            if (pieceAppended_)
                pieceAppended_(drive_, pieceCount());
            return p;
        }
        if (number == 1 && !attachOnly_ && p->initError() == ZSharedSegment::AlreadyExists) {
            // No reader knows this name yet: a name whose key is taken is given up.
            const QString taken = name_;
            name_ = QUuid::createUuid().toString();
            LOG(WARNING) << "pool name " << taken << " is taken; the pool is " << name_ << " instead";
            delete p;
            p = new ZSharedPiece(pieceKey(number), WORD(number), this);
            continue;
        }
        Platform::clock().sleepMs(kAppendPieceRetryMs);
    }
    LOG(ERROR) << "piece could not be created: " << p->key();
    delete p;
    QCoreApplication::quit();
    return nullptr;
}

ZLockItem ZSharedPool::append(int wanted)
{
    if (wanted < 1 || wanted > kMaxRunSlots)
        return ZLockItem();
    if (pieces_.isEmpty() && !appendPiece())
        return ZLockItem();
    ZSharedPiece* last = pieces_.last();
    if (!last->isFull()) {
        ZLockItem run = last->allocate(wanted);
        if (run && run.slotCount() == wanted)
            return run;
        // The piece had fewer slots left than asked: its tail becomes a free run.
        if (run)
            release(run, false);
    }
    ZSharedPiece* fresh = appendPiece();
    if (!fresh)
        return ZLockItem();
    return fresh->allocate(wanted);
}

ZLockItem ZSharedPool::allocate(int wanted)
{
    if (wanted < 1 || wanted > kMaxRunSlots)
        return ZLockItem();
    std::deque<FreeSlotEntry>& list = freeLists_[freeListIndex(wanted)];
    if (!list.empty()) {
        const QDateTime now = Platform::clock().now();
        for (auto it = list.begin(); it != list.end(); ++it) {
            // Entries are in release order: the first young one ends the walk.
            if (it->releaseTime.secsTo(now) < kReuseAgeSeconds)
                break;
            if (it->run.slotCount() >= wanted) {
                const ZLockItem run = it->run;
                list.erase(it);
                return run;
            }
        }
    }
    return append(wanted);
}

void ZSharedPool::release(ZLockItem run, bool recent)
{
    if (!run)
        return;
    QDateTime time = Platform::clock().now();
    if (!recent)
        time = time.addDays(-1);
    freeLists_[freeListIndex(run.slotCount())].push_back(FreeSlotEntry{time, run});
}

void ZSharedPool::forEachItem(const std::function<bool(ZLockItem)>& visitor)
{
    // By index: a visitor that appends may add pieces while the walk runs.
    for (int i = 0; i < pieces_.size(); ++i)
        pieces_[i]->forEachItem(visitor);
}

void ZSharedPool::save(QDataStream& stream)
{
    stream << qint32(pieces_.size());
    for (ZSharedPiece* p : pieces_)
        p->save(stream);
}

bool ZSharedPool::load(ZSavedBytesReader& in)
{
    // Piece numbers and keys start at 1: only an empty pool can be loaded.
    if (!pieces_.isEmpty())
        return false;
    qint32 count = 0;
    if (!in.readInt32(count) || count < 0 || count > kMaxPieces)
        return false;
    // Pieces are made one at a time as the stream supplies them, so an
    // impossible count costs nothing before the stream runs out.
    for (int number = 1; number <= count; ++number) {
        ZSharedPiece* p = new ZSharedPiece(pieceKey(number), WORD(number), this);
        if (!p->init(attachOnly_, drive_) || !p->load(in)) {
            // Free runs of this piece may already be on the free lists.
            dropFreeRunsOf(p);
            delete p;
            return false;
        }
        addPiece(p);
    }
    return true;
}

void ZSharedPool::dropFreeRunsOf(const ZSharedPiece* piece)
{
    const PieceHeader* h = piece->header();
    if (!h)
        return;
    const char* begin = reinterpret_cast<const char*>(h);
    const char* end = begin + piece->segmentSize();
    for (auto& list : freeLists_) {
        for (auto it = list.begin(); it != list.end();) {
            const char* r = reinterpret_cast<const char*>(it->run.record());
            if (r >= begin && r < end)
                it = list.erase(it);
            else
                ++it;
        }
    }
}

void ZSharedPool::clear()
{
    for (ZSharedPiece* p : pieces_) {
        p->release();
        delete p;
    }
    pieces_.clear();
    pieceCount_.store(0, std::memory_order_release);
    for (auto& list : freeLists_)
        list.clear();
}

} // namespace SearchEngine
