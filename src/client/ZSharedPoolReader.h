// Client side of a drive's index: attaches the pool's pieces read-only by
// key (pool name + piece number), resolves item references, reads records
// by the validity rule, walks the live records and finds names containing a
// term. Needs only Qt Core and the storage layouts.
#pragma once

#include "storage/ZItemRecord.h"
#include "storage/ZSharedSegment.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

namespace SearchEngine {

// A copy of one record taken consistently (flags and modifyStamp unchanged
// across the copy).
struct ZItemSnapshot {
    ULONGLONG itemRef = 0;
    BYTE flags = 0;
    int slotCount = 0;
    DWORD recordNumber = 0;
    DWORD parentRecordNumber = 0;
    DWORD attributes = 0;
    ULONGLONG fileSize = 0;
    ULONGLONG changeTime = 0;
    ULONGLONG accessTime = 0;
    DWORD modifyStamp = 0;
    ULONGLONG nameSignature = 0;
    QByteArray name;   // UTF-8; empty when the stored length does not fit the run

    bool isLive() const { return (flags & InUse) != 0; }
    QString fileName() const { return QString::fromUtf8(name); }
};

class ZSharedPoolReader {
public:
    enum ReadResult {
        ReadOk,          // snapshot filled (live or free)
        BadReference,    // another drive, piece 0, or a slot outside the used part
        PieceMissing,    // the piece could not be attached or its header does not fit
        Unstable,        // the record kept changing while being copied
    };

    // drive 0 accepts the drive the first piece header names. Pieces are
    // attached only when `owner` made them (by default this process's user).
    ZSharedPoolReader(const QString& poolName, WORD drive);
    ZSharedPoolReader(const QString& poolName, WORD drive, const SegmentOwner& owner);
    ~ZSharedPoolReader();
    ZSharedPoolReader(const ZSharedPoolReader&) = delete;
    ZSharedPoolReader& operator=(const ZSharedPoolReader&) = delete;

    QString poolName() const { return poolName_; }
    WORD drive() const { return drive_; }
    int attachedPieces() const { return int(pieces_.size()); }
    // Why the last piece that could not be attached was refused.
    QString attachError() const { return attachError_; }

    // The pieces the service announced (its drive's message and those of
    // appended pieces): no piece past them is ever attached, whatever exists
    // under the pool's name. Until told, a reader attaches what it finds.
    void setAnnouncedPieces(int pieceCount);
    int announcedPieces() const { return announcedPieces_; }
    // Attaches pieces in number order up to pieceCount (-1: until one is
    // missing or past the announced ones). Returns the number of pieces
    // attached now.
    int attachPieces(int pieceCount = -1);
    void detachAll();

    // Reads the record an item reference names, attaching its piece (and
    // those before it) when needed.
    ReadResult readItem(ULONGLONG itemRef, ZItemSnapshot* out);
    // Every live record of every attached piece in piece and slot order;
    // the visitor returns false to stop.
    void forEachLiveItem(const std::function<bool(const ZItemSnapshot&)>& visitor);
    // Live records whose name contains term, ASCII letters compared without
    // case; nameSignature filters before the byte compare. maxResults < 0:
    // no limit.
    QVector<ZItemSnapshot> findNames(const QString& term, int maxResults = -1);

    // An attached piece (in attach order), for scans that read it in place.
    struct PieceView {
        const char* base = nullptr;
        long long size = 0;
        WORD number = 0;
        DWORD slotLimit = 0;
    };
    PieceView pieceView(int index) const;
    // The consistent copy of the record at a slot of an attached piece.
    ReadResult readSlot(int pieceIndex, DWORD slotIndex, ZItemSnapshot* out) const;
    // Whether a record still holds what a copy saw (flags and modifyStamp).
    bool unchanged(const ZItemSnapshot& item) const;

    // True when utf8Name contains utf8Term with ASCII case ignored.
    static bool containsIgnoringAsciiCase(const QByteArray& utf8Name, const QByteArray& utf8Term);

private:
    struct Piece;
    bool attachPiece(int pieceNumber);
    ReadResult readAt(const Piece& piece, DWORD slotIndex, ZItemSnapshot* out) const;

    QString poolName_;
    WORD drive_;
    SegmentOwner owner_;
    int announcedPieces_ = -1;
    QString attachError_;
    std::vector<std::unique_ptr<Piece>> pieces_;
};

} // namespace SearchEngine
