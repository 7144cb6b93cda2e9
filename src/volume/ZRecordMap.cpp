#include "volume/ZRecordMap.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cstdlib>

namespace SearchEngine {

namespace {

// The most entries a table of kMaxCapacity slots takes at the load limit.
constexpr size_t kMaxEntries =
    ZRecordMap::kMaxCapacity / ZRecordMap::kLoadDenominator * ZRecordMap::kLoadNumerator;

} // namespace

ZRecordMap::ZRecordMap() : seed_(freshSeed()) {}

ZRecordMap::~ZRecordMap()
{
    std::free(slots_);
}

uint32_t ZRecordMap::freshSeed()
{
    return QRandomGenerator::global()->generate();
}

size_t ZRecordMap::capacityFor(size_t n)
{
    // n <= kMaxEntries, so neither the product nor the result overflows.
    return std::max(kMinCapacity, (n * kLoadDenominator + kLoadNumerator - 1) / kLoadNumerator);
}

size_t ZRecordMap::count(DWORD key) const
{
    size_t n = 0;
    for (auto range = equal_range(key); range.first != range.second; ++range.first)
        ++n;
    return n;
}

size_t ZRecordMap::longestCluster() const
{
    size_t longest = 0;
    size_t run = 0;
    // Twice round, so that a cluster that wraps past the last slot is whole.
    for (size_t s = 0; s < 2 * capacity_; ++s) {
        run = slots_[s % capacity_].second != nullptr ? run + 1 : 0;
        longest = std::max(longest, std::min(run, capacity_));
    }
    return longest;
}

ZRecordMap::iterator ZRecordMap::emplace(DWORD key, ItemRecord* item)
{
    if (!item || item == erasedMark())
        return end();
    if ((used_ + erased_ + 1) * kLoadDenominator > capacity_ * kLoadNumerator) {
        // Past the load limit: a new table, 3/2 the live entries, without the
        // erased slots. Without memory for it the old table takes the entry
        // as long as one empty slot is left to end every probe.
        const size_t live = std::min(used_ + 1, kMaxEntries);
        const size_t wanted = std::max(capacityFor(live), live * kGrowthNumerator / kGrowthDenominator);
        rebuild(std::min(wanted, kMaxCapacity));
        if (used_ + erased_ + 2 > capacity_)
            return end();
    }
    size_t i = home(key);
    while (isLive(slots_[i]))
        i = next(i);
    if (slots_[i].second == erasedMark())
        --erased_;
    slots_[i].first = key;
    slots_[i].second = item;
    ++used_;
    return iterator(this, i, true, key);
}

ZRecordMap::iterator ZRecordMap::erase(const_iterator pos)
{
    const size_t i = pos.index_;
    if (pos.map_ != this || i >= capacity_ || !isLive(slots_[i]))
        return end();
    iterator after(this, i, pos.keyed_, pos.key_);
    ++after;
    slots_[i].second = erasedMark();
    --used_;
    ++erased_;
    // An erased slot just before an empty one ends no probe that the empty
    // slot would not end: it and the erased slots before it are empty again.
    // Only erased slots change, so every iterator stays where it was.
    if (slots_[next(i)].second == nullptr) {
        for (size_t j = i; slots_[j].second == erasedMark(); j = (j == 0 ? capacity_ - 1 : j - 1)) {
            slots_[j].second = nullptr;
            --erased_;
        }
    }
    return after;
}

void ZRecordMap::clear()
{
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = 0;
    used_ = 0;
    erased_ = 0;
}

bool ZRecordMap::reserve(size_t n)
{
    const size_t entries = std::max(n, used_);
    if (entries > kMaxEntries)
        return false;
    if (erased_ <= kMaxEntries - entries && capacityFor(entries + erased_) <= capacity_)
        return true;
    return rebuild(capacityFor(entries));
}

bool ZRecordMap::rebuild(size_t newCapacity)
{
    // calloc: a zeroed slot is an empty one, and the pages of a large table
    // come from the system untouched.
    auto* fresh = static_cast<ZRecordMapEntry*>(std::calloc(newCapacity, sizeof(ZRecordMapEntry)));
    if (!fresh)
        return false;
    ZRecordMapEntry* const old = slots_;
    const size_t oldCapacity = capacity_;
    slots_ = fresh;
    capacity_ = newCapacity;
    erased_ = 0;
    for (size_t s = 0; s < oldCapacity; ++s) {
        if (!isLive(old[s]))
            continue;
        size_t i = home(old[s].first);
        while (slots_[i].second != nullptr)
            i = next(i);
        slots_[i] = old[s];
    }
    std::free(old);
    return true;
}

} // namespace SearchEngine
