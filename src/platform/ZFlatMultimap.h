// A hash multimap from 64-bit keys (already hashes) to 32-bit values in two
// flat arrays, open addressing with linear probing: 12 bytes a slot and no
// allocation per entry, where a node-based map spends about 40 bytes and a
// malloc on each. Values 0xFFFFFFFE and 0xFFFFFFFF are reserved (slot marks).
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

    void insert(uint64_t key, uint32_t value)
    {
        if ((used_ + gone_ + 1) * kLoadDenominator > values_.size() * kLoadNumerator)
            rehash(used_ + 1);
        size_t i = home(key);
        while (values_[i] < kGone)
            i = (i + 1) & mask_;
        if (values_[i] == kGone)
            --gone_;
        keys_[i] = key;
        values_[i] = value;
        ++used_;
    }

    // Removes one entry with this key and value; false when there is none.
    bool erase(uint64_t key, uint32_t value)
    {
        if (values_.empty())
            return false;
        for (size_t i = home(key); values_[i] != kEmpty; i = (i + 1) & mask_) {
            if (values_[i] == value && keys_[i] == key) {
                values_[i] = kGone;
                --used_;
                ++gone_;
                return true;
            }
        }
        return false;
    }

    // visit(value) for each entry with this key until it returns true; then true.
    template <typename Visit>
    bool visit(uint64_t key, Visit&& visit) const
    {
        if (values_.empty())
            return false;
        for (size_t i = home(key); values_[i] != kEmpty; i = (i + 1) & mask_)
            if (values_[i] != kGone && keys_[i] == key && visit(values_[i]))
                return true;
        return false;
    }

private:
    static constexpr size_t kMinSlots = 64;
    static constexpr size_t kLoadNumerator = 3;       // at most 3/4 of the slots used or erased
    static constexpr size_t kLoadDenominator = 4;

    size_t home(uint64_t key) const
    {
        return size_t((key * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }

    // Room for at least `entries` at half load; erased slots are dropped.
    void rehash(size_t entries)
    {
        size_t capacity = kMinSlots;
        while (capacity < entries * 2)
            capacity *= 2;
        std::vector<uint64_t> keys(capacity);
        std::vector<uint32_t> values(capacity, kEmpty);
        const size_t mask = capacity - 1;
        for (size_t j = 0; j < values_.size(); ++j) {
            if (values_[j] >= kGone)
                continue;
            size_t i = size_t((keys_[j] * 0x9E3779B97F4A7C15ull) >> 32) & mask;
            while (values[i] != kEmpty)
                i = (i + 1) & mask;
            keys[i] = keys_[j];
            values[i] = values_[j];
        }
        keys_.swap(keys);
        values_.swap(values);
        mask_ = mask;
        gone_ = 0;
    }

    std::vector<uint64_t> keys_;
    std::vector<uint32_t> values_;
    size_t mask_ = 0;
    size_t used_ = 0;
    size_t gone_ = 0;
};

} // namespace Platform
