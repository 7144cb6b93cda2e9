#include "client/ZSharedPoolReader.h"

#include "storage/ZSharedSegment.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22   // Linux 5.14
#endif

namespace SearchEngine {

namespace {
// A record that keeps changing under the copy is given up after this many tries.
constexpr int kReadAttempts = 8;
// Threads that map the pages of newly attached pieces.
constexpr int kPopulateThreads = 4;

inline char foldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

DWORD loadStamp(const char* record)
{
    DWORD stamp;
    std::memcpy(&stamp, record + offsetof(ItemRecord, modifyStamp), sizeof stamp);
    return stamp;
}

enum class Copy { Done, NoMatch, Unstable, Bad };
} // namespace

struct ZSharedPoolReader::Piece {
    std::unique_ptr<ZSharedSegment> segment;
    const char* base = nullptr;
    long long size = 0;
    WORD number = 0;
    DWORD slotLimit = 0;

    const PieceHeader* header() const { return reinterpret_cast<const PieceHeader*>(base); }
};

namespace {

// Copies the record at slotIndex of a piece. With a term signature, a live
// record whose signature lacks its bits is skipped before the name is copied.
Copy copyRecord(const char* base, long long size, DWORD slotIndex, ZItemSnapshot* out,
                const ULONGLONG* termSignature)
{
    const long long offset = slotByteOffset(slotIndex);
    if (offset + kItemNameOffset > size)
        return Copy::Bad;
    const char* at = base + offset;
    const ItemRecord* shared = reinterpret_cast<const ItemRecord*>(at);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const BYTE flags = loadItemFlags(shared);
        const DWORD stamp = loadStamp(at);
        ItemRecord fixed;
        std::memcpy(&fixed, at, sizeof fixed);
        if (fixed.slotCount == 0)
            return Copy::Bad;
        if (termSignature && (flags & InUse) && !signatureMayContain(fixed.nameSignature, *termSignature))
            return Copy::NoMatch;
        // Into the snapshot's own buffer: a snapshot reused for the next
        // record keeps its capacity, so no allocation per record.
        QByteArray& name = out->name;
        const int length = fixed.nameLength;
        if (nameFitsRun(length, fixed.slotCount) && offset + kItemNameOffset + length <= size) {
            name.resize(length);
            std::memcpy(name.data(), at + kItemNameOffset, size_t(length));
        } else {
            name.resize(0);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (loadItemFlags(shared) != flags || loadStamp(at) != stamp)
            continue;
        out->flags = flags;
        out->slotCount = fixed.slotCount;
        out->recordNumber = fixed.recordNumber;
        out->parentRecordNumber = fixed.parentRecordNumber;
        out->attributes = fixed.attributes;
        out->fileSize = fixed.fileSize;
        out->changeTime = fixed.changeTime;
        out->accessTime = fixed.accessTime;
        out->modifyStamp = stamp;
        out->nameSignature = fixed.nameSignature;
        return Copy::Done;
    }
    return Copy::Unstable;
}

} // namespace

ZSharedPoolReader::ZSharedPoolReader(const QString& poolName, WORD drive)
    : ZSharedPoolReader(poolName, drive, SegmentOwner{geteuid(), 0})
{
}

ZSharedPoolReader::ZSharedPoolReader(const QString& poolName, WORD drive, const SegmentOwner& owner)
    : poolName_(poolName), drive_(drive), owner_(owner)
{
}

void ZSharedPoolReader::setAnnouncedPieces(int pieceCount)
{
    announcedPieces_ = std::max(announcedPieces_, pieceCount);
}

ZSharedPoolReader::~ZSharedPoolReader()
{
    detachAll();
}

void ZSharedPoolReader::detachAll()
{
    pieces_.clear();   // each segment detaches as it goes
}

bool ZSharedPoolReader::attachPiece(int pieceNumber)
{
    if (pieceNumber < 1 || pieceNumber > 0xFFFF || (announcedPieces_ >= 0 && pieceNumber > announcedPieces_))
        return false;
    auto piece = std::make_unique<Piece>();
    piece->segment = std::make_unique<ZSharedSegment>(poolName_ + QString::number(pieceNumber));
    if (!piece->segment->attach(owner_, true)) {
        attachError_ = QStringLiteral("piece %1: %2").arg(pieceNumber).arg(piece->segment->errorString());
        return false;
    }
    piece->base = static_cast<const char*>(piece->segment->data());
    piece->size = piece->segment->size();

    if (piece->size < (long long)sizeof(PieceHeader))
        return false;
    PieceHeader h;
    std::memcpy(&h, piece->base, sizeof h);
    h.usedSlots = loadUsedSlots(piece->header());
    if (!pieceHeaderFits(h, piece->size) || h.pieceNumber != pieceNumber) {
        attachError_ = QStringLiteral("piece %1: its header does not fit the segment").arg(pieceNumber);
        return false;
    }
    const WORD headerDrive = WORD(h.drive & 0xFFFFu);
    if (drive_ == 0)
        drive_ = headerDrive;
    else if (headerDrive != drive_)
        return false;
    piece->number = WORD(pieceNumber);
    piece->slotLimit = h.slotLimit;
    pieces_.push_back(std::move(piece));
    return true;
}

int ZSharedPoolReader::attachPieces(int pieceCount)
{
    const int before = attachedPieces();
    while (pieceCount < 0 || attachedPieces() < pieceCount) {
        if (!attachPiece(attachedPieces() + 1))
            break;
    }
    // A scan reads every page of a piece: mapping them in one call each is
    // far cheaper than a fault each, and the pieces are shared out among
    // the processors (older kernels refuse the advice; the faults come then).
    const int added = attachedPieces() - before;
    const int workers = std::min<int>({added, int(std::thread::hardware_concurrency()), kPopulateThreads});
    auto populate = [&](int first) {
        for (int i = before + first; i < attachedPieces(); i += std::max(workers, 1))
            ::madvise(const_cast<char*>(pieces_[size_t(i)]->base), size_t(pieces_[size_t(i)]->size),
                      MADV_POPULATE_READ);
    };
    std::vector<std::thread> threads;
    for (int w = 1; w < workers; ++w)
        threads.emplace_back(populate, w);
    populate(0);
    for (std::thread& t : threads)
        t.join();
    return added;
}

ZSharedPoolReader::ReadResult ZSharedPoolReader::readAt(const Piece& piece, DWORD slotIndex,
                                                        ZItemSnapshot* out) const
{
    // Slots at or past usedSlots were never handed out.
    if (slotIndex >= loadUsedSlots(piece.header()) || slotIndex >= piece.slotLimit)
        return BadReference;
    switch (copyRecord(piece.base, piece.size, slotIndex, out, nullptr)) {
    case Copy::Done:
        out->itemRef = makeItemRef(drive_, piece.number, slotIndex);
        return ReadOk;
    case Copy::Unstable:
        return Unstable;
    default:
        return BadReference;
    }
}

ZSharedPoolReader::PieceView ZSharedPoolReader::pieceView(int index) const
{
    const Piece& p = *pieces_[size_t(index)];
    return PieceView{p.base, p.size, p.number, p.slotLimit};
}

ZSharedPoolReader::ReadResult ZSharedPoolReader::readSlot(int pieceIndex, DWORD slotIndex, ZItemSnapshot* out) const
{
    if (pieceIndex < 0 || pieceIndex >= attachedPieces())
        return PieceMissing;
    return readAt(*pieces_[size_t(pieceIndex)], slotIndex, out);
}

bool ZSharedPoolReader::unchanged(const ZItemSnapshot& item) const
{
    const int number = itemRefPieceNumber(item.itemRef);
    if (number < 1 || number > attachedPieces())
        return false;
    const Piece& p = *pieces_[size_t(number - 1)];
    const long long offset = slotByteOffset(itemRefSlotIndex(item.itemRef));
    if (offset + kItemNameOffset > p.size)
        return false;
    const char* at = p.base + offset;
    return loadItemFlags(reinterpret_cast<const ItemRecord*>(at)) == item.flags && loadStamp(at) == item.modifyStamp;
}

ZSharedPoolReader::ReadResult ZSharedPoolReader::readItem(ULONGLONG itemRef, ZItemSnapshot* out)
{
    if (drive_ != 0 && itemRefDrive(itemRef) != drive_)
        return BadReference;
    const int number = itemRefPieceNumber(itemRef);
    if (number == 0)
        return BadReference;
    if (number > attachedPieces())
        attachPieces(number);
    if (number > attachedPieces())
        return PieceMissing;
    if (itemRefDrive(itemRef) != drive_)
        return BadReference;
    return readAt(*pieces_[size_t(number - 1)], itemRefSlotIndex(itemRef), out);
}

namespace {
template <typename Visit>
void walkPiece(const char* base, long long size, WORD drive, WORD number, DWORD slotLimit,
               const ULONGLONG* termSignature, Visit&& visit)
{
    const PieceHeader* h = reinterpret_cast<const PieceHeader*>(base);
    DWORD used = loadUsedSlots(h);
    if (used > slotLimit)
        used = slotLimit;
    DWORD index = 0;
    while (index < used) {
        const long long offset = slotByteOffset(index);
        if (offset + kItemNameOffset > size)
            return;
        const ItemRecord* r = reinterpret_cast<const ItemRecord*>(base + offset);
        // slotCount is set before usedSlots covers the run and never changes.
        const DWORD count = r->slotCount;
        if (count == 0)
            return;
        if (loadItemFlags(r) & InUse) {
            if (termSignature) {
                // The signature alone rules most records out, before any copy.
                ULONGLONG signature;
                std::memcpy(&signature, base + offset + offsetof(ItemRecord, nameSignature), sizeof signature);
                if (!signatureMayContain(signature, *termSignature)) {
                    index += count;
                    continue;
                }
            }
            ZItemSnapshot snapshot;
            if (copyRecord(base, size, index, &snapshot, termSignature) == Copy::Done && snapshot.isLive()) {
                snapshot.itemRef = makeItemRef(drive, number, index);
                if (!visit(snapshot))
                    return;
            }
        }
        index += count;
    }
}
} // namespace

void ZSharedPoolReader::forEachLiveItem(const std::function<bool(const ZItemSnapshot&)>& visitor)
{
    bool go = true;
    for (const auto& p : pieces_) {
        walkPiece(p->base, p->size, drive_, p->number, p->slotLimit, nullptr,
                  [&](const ZItemSnapshot& s) { return go = visitor(s); });
        if (!go)
            return;
    }
}

QVector<ZItemSnapshot> ZSharedPoolReader::findNames(const QString& term, int maxResults)
{
    QVector<ZItemSnapshot> found;
    if (maxResults == 0)
        return found;
    const QByteArray utf8Term = term.toUtf8();
    const ULONGLONG termSignature = nameSignatureOf(term.utf16(), term.size());
    bool go = true;
    for (const auto& p : pieces_) {
        walkPiece(p->base, p->size, drive_, p->number, p->slotLimit, &termSignature,
                  [&](const ZItemSnapshot& s) {
                      if (containsIgnoringAsciiCase(s.name, utf8Term)) {
                          found.append(s);
                          if (maxResults > 0 && found.size() >= maxResults)
                              return go = false;
                      }
                      return true;
                  });
        if (!go)
            break;
    }
    return found;
}

bool ZSharedPoolReader::containsIgnoringAsciiCase(const QByteArray& utf8Name, const QByteArray& utf8Term)
{
    const int n = utf8Name.size();
    const int m = utf8Term.size();
    if (m == 0)
        return true;
    for (int i = 0; i + m <= n; ++i) {
        int j = 0;
        while (j < m && foldAscii(utf8Name[i + j]) == foldAscii(utf8Term[j]))
            ++j;
        if (j == m)
            return true;
    }
    return false;
}

} // namespace SearchEngine
