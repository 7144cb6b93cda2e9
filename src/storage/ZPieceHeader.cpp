#include "storage/ZPieceHeader.h"

namespace SearchEngine {

bool pieceHeaderFits(const PieceHeader& h, long long segmentSize)
{
    if (h.version != kPieceVersion || h.slotOffset != kSlotOffset || h.slotSize != kSlotSize)
        return false;
    if (h.dataSize < 2 * kSlotSize || h.dataSize % kSlotSize != 0)
        return false;
    if ((long long)h.dataSize + kSlotOffset > segmentSize)
        return false;
    if (h.slotLimit != slotLimitForDataSize(h.dataSize))
        return false;
    return h.usedSlots <= h.slotLimit && h.pieceNumber != 0;
}

} // namespace SearchEngine
