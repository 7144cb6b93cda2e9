#include "ntfs/ZNtfsRunList.h"

#include <algorithm>
#include <limits>

namespace Platform {

namespace {

constexpr BYTE kLengthSizeMask = 0x0F;
constexpr int kOffsetSizeShift = 4;
constexpr unsigned kMaxFieldSize = 8;

// Little-endian signed number of `size` bytes (1..8).
LONGLONG loadSigned(const BYTE* p, unsigned size)
{
    ULONGLONG v = 0;
    for (unsigned i = 0; i < size; ++i)
        v |= ULONGLONG(p[i]) << (8 * i);
    if (size < kMaxFieldSize && (p[size - 1] & 0x80))
        v |= ~ULONGLONG(0) << (8 * size);
    return LONGLONG(v);
}

bool addOverflows(LONGLONG a, LONGLONG b)
{
    return (b > 0 && a > std::numeric_limits<LONGLONG>::max() - b)
        || (b < 0 && a < std::numeric_limits<LONGLONG>::min() - b);
}

} // namespace

bool ZNtfsRunList::decode(const BYTE* pairs, size_t size, LONGLONG startVcn, LONGLONG totalClusters)
{
    if (startVcn < 0 || totalClusters < 0)
        return false;
    LONGLONG vcn = startVcn;
    LONGLONG lcn = 0;
    size_t pos = 0;
    while (pos < size) {
        const BYTE header = pairs[pos];
        if (header == 0)
            return true;
        const unsigned lengthSize = header & kLengthSizeMask;
        const unsigned offsetSize = header >> kOffsetSizeShift;
        if (lengthSize == 0 || lengthSize > kMaxFieldSize || offsetSize > kMaxFieldSize)
            return false;
        if (size - pos - 1 < lengthSize + offsetSize)
            return false;
        const LONGLONG length = loadSigned(pairs + pos + 1, lengthSize);
        if (length <= 0 || addOverflows(vcn, length))
            return false;
        ZNtfsRun run;
        run.vcn = vcn;
        run.length = length;
        if (offsetSize == 0) {
            run.lcn = kSparseLcn;
        } else {
            const LONGLONG delta = loadSigned(pairs + pos + 1 + lengthSize, offsetSize);
            if (addOverflows(lcn, delta))
                return false;
            lcn += delta;
            if (lcn < 0 || lcn > totalClusters || length > totalClusters - lcn)
                return false;
            run.lcn = lcn;
        }
        if (runs_.size() >= kMaxRuns)
            return false;
        runs_.push_back(run);
        vcn += length;
        pos += 1 + lengthSize + offsetSize;
    }
    // The attribute ended exactly after the last pair, without the zero byte.
    return true;
}

bool ZNtfsRunList::finish()
{
    std::sort(runs_.begin(), runs_.end(),
              [](const ZNtfsRun& a, const ZNtfsRun& b) { return a.vcn < b.vcn; });
    for (size_t i = 1; i < runs_.size(); ++i) {
        if (runs_[i - 1].vcn + runs_[i - 1].length > runs_[i].vcn)
            return false;
    }
    return true;
}

const ZNtfsRun* ZNtfsRunList::find(LONGLONG vcn) const
{
    auto it = std::upper_bound(runs_.begin(), runs_.end(), vcn,
                               [](LONGLONG v, const ZNtfsRun& r) { return v < r.vcn; });
    if (it == runs_.begin())
        return nullptr;
    --it;
    return vcn < it->vcn + it->length ? &*it : nullptr;
}

LONGLONG ZNtfsRunList::endVcn() const
{
    return runs_.empty() ? 0 : runs_.back().vcn + runs_.back().length;
}

} // namespace Platform
