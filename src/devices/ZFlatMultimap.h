// A hash multimap from 64-bit keys (already hashes) to 32-bit values in one
// flat array, open addressing with linear probing: 8 bytes a slot and no
// allocation per entry, where a node-based map spends about 40 bytes and a
// malloc on each. Only 32 bits of a key are kept, so a visit may also offer
// values stored under another key with the same 32 bits: the caller checks
// what it finds (the keys are hashes of names it compares anyway).
// Values 0xFFFFFFFE and 0xFFFFFFFF are reserved (slot marks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Platform {

class ZFlatMultimap {
public:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr uint32_t kGone = 0xFFFFFFFEu;   // erased: probing goes on past it

    size_t size() const { return used_; }
    // Bytes held by the table.
    size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

    // Room for `entries` in all without a rehash on the way: a table filled
    // with a known count is made once, never held twice while it grows.
    void reserve(size_t entries)
    {
        if (!fits(entries + gone_))
            rehash(entries);
    }

    void insert(uint64_t key, uint32_t value)
    {
        if (!fits(used_ + gone_ + 1))
            rehash(used_ + 1);
        const uint32_t tag = tagOf(key);
        size_t i = home(tag);
        while (slots_[i].value < kGone)
            i = next(i);
        if (slots_[i].value == kGone)
            --gone_;
        slots_[i] = Slot{tag, value};
        ++used_;
    }

    // Removes one entry with this key and value; false when there is none.
    bool erase(uint64_t key, uint32_t value)
    {
        if (slots_.empty())
            return false;
        const uint32_t tag = tagOf(key);
        for (size_t i = home(tag); slots_[i].value != kEmpty; i = next(i)) {
            if (slots_[i].value == value && slots_[i].tag == tag) {
                slots_[i].value = kGone;
                --used_;
                ++gone_;
                return true;
            }
        }
        return false;
    }

    // visit(value) for each entry whose key has this key's 32 kept bits,
    // until it returns true; then true.
    template <typename Visit>
    bool visit(uint64_t key, Visit&& visit) const
    {
        if (slots_.empty())
            return false;
        const uint32_t tag = tagOf(key);
        for (size_t i = home(tag); slots_[i].value != kEmpty; i = next(i))
            if (slots_[i].value != kGone && slots_[i].tag == tag && visit(slots_[i].value))
                return true;
        return false;
    }

private:
    struct Slot {
        uint32_t tag;
        uint32_t value;
    };
    static_assert(sizeof(Slot) == 8, "a slot is two 32-bit words");

    static constexpr size_t kMinSlots = 64;
    // At most 4/5 of the slots used or erased; a rehash leaves room for half
    // as many entries again (2/3 full), so the table averages ~11 bytes an entry.
    static constexpr size_t kLoadNumerator = 4;
    static constexpr size_t kLoadDenominator = 5;
    static constexpr size_t kGrowNumerator = 3;
    static constexpr size_t kGrowDenominator = 2;

    bool fits(size_t taken) const { return taken * kLoadDenominator <= slots_.size() * kLoadNumerator; }

    static uint32_t tagOf(uint64_t key) { return uint32_t(key ^ (key >> 32)); }

    // The tag mixed and scaled onto [0, slots) (any slot count, no modulo).
    static size_t homeIn(uint32_t tag, size_t slotCount)
    {
        const uint32_t mixed = uint32_t((uint64_t(tag) * 0x9E3779B97F4A7C15ull) >> 32);
        return size_t((uint64_t(mixed) * slotCount) >> 32);
    }
    size_t home(uint32_t tag) const { return homeIn(tag, slots_.size()); }
    size_t next(size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

    // Room for at least `entries` and half as many again; erased slots are dropped.
    void rehash(size_t entries)
    {
        size_t capacity = entries * kGrowNumerator / kGrowDenominator;
        if (capacity < kMinSlots)
            capacity = kMinSlots;
        std::vector<Slot> table(capacity, Slot{0, kEmpty});
        for (const Slot& s : slots_) {
            if (s.value >= kGone)
                continue;
            size_t i = homeIn(s.tag, capacity);
            while (table[i].value != kEmpty)
                i = i + 1 == capacity ? 0 : i + 1;
            table[i] = s;
        }
        slots_.swap(table);
        gone_ = 0;
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
    size_t gone_ = 0;
};

} // namespace Platform
