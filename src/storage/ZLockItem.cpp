#include "storage/ZLockItem.h"

namespace SearchEngine {

QByteArray ZLockItem::name() const
{
    if (!record_)
        return QByteArray();
    const int length = record_->nameLength;
    if (!nameFitsRun(length, record_->slotCount))
        return QByteArray();
    return QByteArray(record_->nameBytes(), length);
}

PieceHeader* ZLockItem::pieceHeader() const
{
    if (!record_)
        return nullptr;
    char* slot0 = reinterpret_cast<char*>(record_) - (long long)kSlotSize * record_->slotIndex;
    return reinterpret_cast<PieceHeader*>(slot0 - kSlotOffset);
}

ULONGLONG ZLockItem::itemRef() const
{
    const PieceHeader* h = pieceHeader();
    if (!h)
        return 0;
    return makeItemRef(WORD(h->drive & 0xFFFFu), h->pieceNumber, record_->slotIndex);
}

} // namespace SearchEngine
