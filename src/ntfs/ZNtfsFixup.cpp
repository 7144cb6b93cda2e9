#include "ntfs/ZNtfsFixup.h"

#include <cstring>

namespace Platform {

namespace {

#pragma pack(push, 1)
struct MultiSectorHeader {
    DWORD signature;
    WORD usaOffset;  // bytes from the start of the structure
    WORD usaCount;   // one update sequence number + one entry per stride
};
#pragma pack(pop)
static_assert(sizeof(MultiSectorHeader) == 8, "MultiSectorHeader layout");

WORD loadWord(const BYTE* p)
{
    WORD w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

} // namespace

bool applyNtfsFixups(BYTE* data, size_t size, DWORD signature)
{
    if (!data || size < kNtfsFixupStride || size % kNtfsFixupStride != 0)
        return false;
    MultiSectorHeader header;
    std::memcpy(&header, data, sizeof header);
    if (header.signature != signature)
        return false;
    const size_t strides = size / kNtfsFixupStride;
    // The array must cover every stride and lie inside the first one, before
    // the stride's own sequence number.
    if (header.usaCount != strides + 1 || header.usaOffset % 2 != 0
        || header.usaOffset < sizeof(MultiSectorHeader)
        || size_t(header.usaOffset) + 2 * size_t(header.usaCount) > kNtfsFixupStride - 2)
        return false;
    const BYTE* usa = data + header.usaOffset;
    const WORD sequence = loadWord(usa);
    for (size_t i = 0; i < strides; ++i) {
        BYTE* tail = data + (i + 1) * kNtfsFixupStride - 2;
        if (loadWord(tail) != sequence)
            return false;
        std::memcpy(tail, usa + 2 * (i + 1), 2);
    }
    return true;
}

} // namespace Platform
