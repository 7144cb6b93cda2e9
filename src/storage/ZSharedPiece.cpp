#include "storage/ZSharedPiece.h"

#include "frame/ZLog.h"
#include "storage/ZSegmentLedger.h"
#include "storage/ZSavedBytesReader.h"
#include "storage/ZSharedPool.h"

#include <QDataStream>

#include <atomic>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

// The size every new piece of every pool is created with. Only lowered.
std::atomic<int> gPieceSize{kLargestPieceSize};

std::mutex gGateLock;
std::function<bool(int)> gCreateGate;

bool createAllowed(int size)
{
    std::lock_guard<std::mutex> lock(gGateLock);
    return !gCreateGate || gCreateGate(size);
}

// Stores size unless another thread has gone lower already.
void lowerPieceSize(int size)
{
    int current = gPieceSize.load();
    while (size < current && !gPieceSize.compare_exchange_weak(current, size)) {
    }
}

constexpr int kLargestRunBytes = kMaxRunSlots * int(kSlotSize);

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Best effort: older kernels refuse the advice and fault pages in on use.
void prefaultPages(void* data, int size)
{
    ::madvise(data, size_t(size), MADV_POPULATE_WRITE);
}

} // namespace

ZSharedPiece::ZSharedPiece(const QString& key, WORD pieceNumber, ZSharedPool* owner)
    : owner_(owner), segment_(new ZSharedSegment(key)), pieceNumber_(pieceNumber)
{
}

ZSharedPiece::~ZSharedPiece()
{
    release();
}

int ZSharedPiece::pieceSize()
{
    return gPieceSize.load();
}

void ZSharedPiece::setCreateGateForTesting(std::function<bool(int size)> gate)
{
    std::lock_guard<std::mutex> lock(gGateLock);
    gCreateGate = std::move(gate);
}

QString ZSharedPiece::key() const
{
    return segment_ ? segment_->key() : QString();
}

QString ZSharedPiece::nativeKey() const
{
    return segment_ ? segment_->keyFile() : QString();
}

int ZSharedPiece::initError() const
{
    return segment_ ? int(segment_->error()) : int(ZSharedSegment::Failed);
}

int ZSharedPiece::segmentSize() const
{
    return header_ ? segmentSize_ : 0;
}

bool ZSharedPiece::init(bool attachOnly, WORD drive)
{
    if (!segment_)
        return false;
    if (attachOnly) {
        if (!segment_->attach(SegmentOwner{geteuid(), 0}, false)) {
            LOG(DEBUG) << "Attach Memory Failed:" << segment_->keyFile();
            return false;
        }
        // Another process made the segment: use it only if its header fits.
        const PieceHeader* h = static_cast<const PieceHeader*>(segment_->data());
        if (segment_->size() < int(sizeof(PieceHeader)) || !pieceHeaderFits(*h, segment_->size())) {
            LOG(DEBUG) << "Attach Memory Failed:" << segment_->keyFile();
            segment_->detach();
            return false;
        }
        header_ = static_cast<PieceHeader*>(segment_->data());
        segmentSize_ = segment_->size();
        return true;
    }

    segment_->detach();
    header_ = nullptr;
    int size = gPieceSize.load();
    for (;;) {
        bool sizeRefused = true;   // by the test gate, or by the system
        if (createAllowed(size)) {
            if (segment_->create(size))
                break;
            sizeRefused = segment_->error() == ZSharedSegment::OutOfResources;
        }
        if (!sizeRefused || size <= kSmallestPieceSize) {
            LOG(DEBUG) << "Create Memory Failed:" << segment_->keyFile() << segment_->errorString();
            return false;
        }
        size /= 2;
        lowerPieceSize(size);
    }
    // create() leaves the segment attached read-write.
    noteCreatedSegment(segment_->keyFile());
    segmentSize_ = size;
    // A new System V segment comes zero-filled from the kernel (shmget), so
    // the slots need no clearing: touching them here would only fault in
    // every page twice. Its pages are mapped in one call rather than one
    // fault at a time as runs are appended.
    prefaultPages(segment_->data(), size);
    header_ = static_cast<PieceHeader*>(segment_->data());
    PieceHeader h{};
    h.version = kPieceVersion;
    h.drive = drive;
    h.slotOffset = kSlotOffset;
    h.usedSlots = 0;
    h.dataSize = DWORD(size) - kSlotOffset;
    h.slotLimit = slotLimitForDataSize(h.dataSize);
    h.slotSize = kSlotSize;
    h.pieceNumber = pieceNumber_;
    std::memcpy(header_, &h, sizeof h);
    return true;
}

ItemRecord* ZSharedPiece::recordAt(DWORD slotIndex) const
{
    return reinterpret_cast<ItemRecord*>(reinterpret_cast<char*>(header_) + slotByteOffset(slotIndex));
}

void ZSharedPiece::repairSlotIndex(ItemRecord* r, DWORD slotIndex)
{
    if (r->slotIndex != slotIndex)
        r->slotIndex = slotIndex;
}

bool ZSharedPiece::isFull() const
{
    return !header_ || header_->usedSlots >= header_->slotLimit;
}

ZLockItem ZSharedPiece::allocate(int wanted)
{
    if (!header_ || wanted < 1 || wanted > kMaxRunSlots)
        return ZLockItem();
    const DWORD used = header_->usedSlots;
    const DWORD limit = header_->slotLimit;
    if (used >= limit)
        return ZLockItem();
    ItemRecord* r = recordAt(used);
    repairSlotIndex(r, used);
    const DWORD count = DWORD(wanted) <= limit - used ? DWORD(wanted) : limit - used;
    r->slotCount = BYTE(count);
    // The run is set up before readers walking up to usedSlots can see it.
    storeUsedSlots(header_, used + r->slotCount);
    return ZLockItem(r);
}

void ZSharedPiece::forEachItem(const std::function<bool(ZLockItem)>& visitor)
{
    if (!header_)
        return;
    DWORD index = 0;
    while (index < header_->usedSlots) {
        ItemRecord* r = recordAt(index);
        repairSlotIndex(r, index);
        const DWORD count = r->slotCount;
        if (count == 0)
            break;
        if (r->flags & InUse)
            visitor(ZLockItem(r));
        index += count;
    }
}

void ZSharedPiece::save(QDataStream& stream)
{
    if (!header_)
        return;
    stream.writeRawData(reinterpret_cast<const char*>(header_), int(sizeof(PieceHeader)));
    DWORD index = 0;
    while (index < header_->usedSlots) {
        ItemRecord* r = recordAt(index);
        repairSlotIndex(r, index);
        const int count = r->slotCount;
        if (count == 0)
            break;
        int length = kFreeRunSavedBytes;
        if (r->flags & InUse) {
            length = liveRunSavedBytes(r->nameLength);
            // A name that does not fit its run is written clipped to the
            // run; the loader rejects it rather than reading past the run.
            if (length > count * int(kSlotSize))
                length = count * int(kSlotSize);
        }
        stream << qint32(length);
        stream.writeRawData(reinterpret_cast<const char*>(r), length);
        index += DWORD(count);
    }
}

bool ZSharedPiece::load(ZSavedBytesReader& in)
{
    if (!header_)
        return false;
    PieceHeader stored;
    const char* p = in.take(sizeof stored);
    if (!p)
        return false;
    std::memcpy(&stored, p, sizeof stored);
    // The stored geometry must fit the segment just made, and the piece must
    // be this one of this drive, or item references would name other records.
    if (!pieceHeaderFits(stored, segmentSize_) || stored.pieceNumber != pieceNumber_
        || stored.drive != header_->drive)
        return false;
    std::memcpy(header_, &stored, sizeof stored);
    return loadRuns(in);
}

bool ZSharedPiece::loadRuns(ZSavedBytesReader& in)
{
    const DWORD used = header_->usedSlots;
    DWORD index = 0;
    while (index < used) {
        qint32 length = 0;
        if (!in.readInt32(length))
            return false;
        // A run lies wholly below usedSlots.
        const long long room = (long long)(used - index) * kSlotSize;
        if (length < kFreeRunSavedBytes || length > kLargestRunBytes || length > room)
            return false;
        const char* run = in.take(size_t(length));
        if (!run)
            return false;
        const BYTE flags = BYTE(run[offsetof(ItemRecord, flags)]);
        const DWORD count = BYTE(run[offsetof(ItemRecord, slotCount)]);
        if (count == 0 || index + count > used || length > int(count * kSlotSize))
            return false;
        const bool live = (flags & InUse) != 0;
        if (live) {
            if ((flags & ~kItemFlagMask) != 0 || length < kItemNameOffset)
                return false;
            WORD nameLength;
            std::memcpy(&nameLength, run + offsetof(ItemRecord, nameLength), sizeof nameLength);
            if (liveRunSavedBytes(nameLength) != length)
                return false;
        } else if (flags != 0) {
            return false;
        }
        ItemRecord* r = recordAt(index);
        std::memcpy(r, run, size_t(length));
        repairSlotIndex(r, index);
        if (live)
            r->modifyStamp = 0;
        else if (owner_)
            owner_->release(ZLockItem(r), false);
        index += count;
    }
    return true;
}

void ZSharedPiece::release()
{
    header_ = nullptr;
    segmentSize_ = 0;
    if (!segment_)
        return;
    delete segment_;   // detaches; a segment it created goes with its key file
    segment_ = nullptr;
}

} // namespace SearchEngine
