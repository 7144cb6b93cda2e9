// Record number -> item, with several items under one number (a file's hard
// links). A flat table with open addressing and linear probing: 12 bytes a
// slot and no allocation per entry, where a node-based multimap spends
// about 44 bytes an entry.
//
// The interface follows std::unordered_multimap where the volume uses it.
// Differences: the entries of one key are not next to each other, so an
// iterator from find or equal_range steps only over the entries of its key
// (along the key's probe chain) and equal_range always ends at end(); an
// iterator from begin visits every entry. erase moves no other entry;
// emplace may rebuild the table and so invalidates every iterator but end().
#pragma once

#include "platform/windows.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

namespace SearchEngine {

struct ItemRecord;

// One slot. An empty slot holds a null item, an erased one the mark
// ZRecordMap::erasedMark(); the items filed are never null. Packed, so the
// compiler binds a const reference to `second` (which sits 4 bytes off an
// 8-byte boundary) through a copy and refuses a non-const one.
struct __attribute__((packed, aligned(4))) ZRecordMapEntry {
    DWORD first;
    ItemRecord* second;
};
static_assert(sizeof(ZRecordMapEntry) == 12, "a record map slot is 12 bytes");
static_assert(alignof(ZRecordMapEntry) == 4, "ZRecordMapEntry alignment");
static_assert(offsetof(ZRecordMapEntry, second) == 4, "ZRecordMapEntry layout");

class ZRecordMap {
    static constexpr size_t kEnd = SIZE_MAX;

    template <bool Const>
    class Iterator {
        using Map = std::conditional_t<Const, const ZRecordMap, ZRecordMap>;

    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = ZRecordMapEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<Const, const ZRecordMapEntry*, ZRecordMapEntry*>;
        using reference = std::conditional_t<Const, const ZRecordMapEntry&, ZRecordMapEntry&>;

        Iterator() = default;
        // iterator -> const_iterator
        template <bool C = Const, typename = std::enable_if_t<C>>
        Iterator(const Iterator<false>& other)
            : map_(other.map_), index_(other.index_), keyed_(other.keyed_), key_(other.key_)
        {
        }

        reference operator*() const { return map_->slots_[index_]; }
        pointer operator->() const { return &map_->slots_[index_]; }
        // end() stays where it is.
        Iterator& operator++()
        {
            if (index_ != kEnd)
                index_ = keyed_ ? map_->nextOf(index_, key_) : map_->liveFrom(index_ + 1);
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator before = *this;
            ++*this;
            return before;
        }
        // Iterators at one slot are equal whichever order they walk in.
        bool operator==(const Iterator& other) const { return index_ == other.index_; }
        bool operator!=(const Iterator& other) const { return index_ != other.index_; }

    private:
        friend class ZRecordMap;
        friend class Iterator<!Const>;
        Iterator(Map* map, size_t index, bool keyed, DWORD key) : map_(map), index_(index), keyed_(keyed), key_(key) {}

        Map* map_ = nullptr;
        size_t index_ = kEnd;
        bool keyed_ = false;   // steps over the entries of key_ only
        DWORD key_ = 0;
    };

public:
    using key_type = DWORD;
    using mapped_type = ItemRecord*;
    using value_type = ZRecordMapEntry;
    using size_type = size_t;
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    // The table is kept at most 7/8 full (live and erased slots together),
    // and a rebuild makes it 3/2 the live entries.
    static constexpr size_t kLoadNumerator = 7;
    static constexpr size_t kLoadDenominator = 8;
    static constexpr size_t kGrowthNumerator = 3;
    static constexpr size_t kGrowthDenominator = 2;
    static constexpr size_t kMinCapacity = 8;
    // The hash is mapped onto the table by a 32-bit multiply.
    static constexpr size_t kMaxCapacity = size_t(UINT32_MAX);

    ZRecordMap();
    ~ZRecordMap();
    ZRecordMap(const ZRecordMap&) = delete;
    ZRecordMap& operator=(const ZRecordMap&) = delete;

    size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }
    // Slots in the table, live, erased and empty.
    size_t capacity() const { return capacity_; }

    iterator begin();
    iterator end() { return iterator(this, kEnd, false, 0); }
    const_iterator begin() const;
    const_iterator end() const { return const_iterator(this, kEnd, false, 0); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    iterator find(DWORD key) { return iterator(this, firstOf(key), true, key); }
    const_iterator find(DWORD key) const { return const_iterator(this, firstOf(key), true, key); }
    std::pair<iterator, iterator> equal_range(DWORD key) { return {find(key), end()}; }
    std::pair<const_iterator, const_iterator> equal_range(DWORD key) const { return {find(key), end()}; }
    size_t count(DWORD key) const;

    // Files item under key; the new entry, or end() when item is null or
    // no table could be had (out of memory).
    iterator emplace(DWORD key, ItemRecord* item);
    // Starts loading the slot where key's probe begins, for an emplace or
    // a lookup of key some work later: a large table misses the cache.
    void prefetch(DWORD key) const
    {
        if (capacity_ == 0)
            return;
        const ZRecordMapEntry* slot = slots_ + home(key);
#if defined(__x86_64__) || defined(__i386__)
        // GCC's dead-code pass drops a __builtin_prefetch of a hashed address.
        asm volatile("prefetcht0 %0" : : "m"(*slot));
#else
        __builtin_prefetch(slot);
#endif
    }
    // Removes one entry; the next entry in the iterator's own order.
    // end(), or an iterator whose entry was erased, changes nothing.
    iterator erase(const_iterator pos);
    // Removes every entry and gives the table back.
    void clear();
    // Room for n entries in all without a rebuild; false when out of memory
    // or beyond the largest table.
    bool reserve(size_t n);

    // The most slots in a row that are not empty: the longest probe a
    // lookup can take (diagnostics).
    size_t longestCluster() const;

    static ItemRecord* erasedMark() { return reinterpret_cast<ItemRecord*>(uintptr_t(1)); }

private:
    static bool isLive(const ZRecordMapEntry& e) { return e.second != nullptr && e.second != erasedMark(); }
    size_t next(size_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }
    size_t home(DWORD key) const
    {
        // Murmur3's finalizer over the seeded key, then a multiply-high onto
        // [0, capacity): dense numbers and numbers with equal low bits spread
        // alike, and the seed keeps a chosen set of keys from piling up.
        uint32_t h = key ^ seed_;
        h ^= h >> 16;
        h *= 0x85ebca6bu;
        h ^= h >> 13;
        h *= 0xc2b2ae35u;
        h ^= h >> 16;
        return size_t((uint64_t(h) * uint64_t(capacity_)) >> 32);
    }
    // The slot of the first entry of key, or kEnd.
    size_t firstOf(DWORD key) const;
    // The next slot after `from` along the probe chain that holds key, or kEnd.
    size_t nextOf(size_t from, DWORD key) const;
    // The first live slot at or after `from`, or kEnd.
    size_t liveFrom(size_t from) const;
    // The slots for n entries at the load limit.
    static size_t capacityFor(size_t n);
    // Moves every live entry into a new table of newCapacity slots; false
    // (the table as it was) when out of memory.
    bool rebuild(size_t newCapacity);
    static uint32_t freshSeed();

    ZRecordMapEntry* slots_ = nullptr;    // calloc'd: all slots start empty
    size_t capacity_ = 0;
    size_t used_ = 0;                     // live entries
    size_t erased_ = 0;                   // erased slots, still in probe chains
    uint32_t seed_ = 0;
};


inline size_t ZRecordMap::firstOf(DWORD key) const
{
    if (capacity_ == 0)
        return kEnd;
    for (size_t i = home(key); slots_[i].second != nullptr; i = next(i)) {
        if (slots_[i].first == key && slots_[i].second != erasedMark())
            return i;
    }
    return kEnd;
}

inline size_t ZRecordMap::nextOf(size_t from, DWORD key) const
{
    for (size_t i = next(from); slots_[i].second != nullptr; i = next(i)) {
        if (slots_[i].first == key && slots_[i].second != erasedMark())
            return i;
    }
    return kEnd;
}

inline size_t ZRecordMap::liveFrom(size_t from) const
{
    for (size_t i = from; i < capacity_; ++i) {
        if (isLive(slots_[i]))
            return i;
    }
    return kEnd;
}

inline ZRecordMap::iterator ZRecordMap::begin()
{
    return iterator(this, liveFrom(0), false, 0);
}

inline ZRecordMap::const_iterator ZRecordMap::begin() const
{
    return const_iterator(this, liveFrom(0), false, 0);
}

} // namespace SearchEngine
