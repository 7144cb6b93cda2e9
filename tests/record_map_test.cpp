// The record map against std::unordered_multimap: the same entries after
// any mix of insertions, erasures (through iterators of every kind),
// clears and reserves, erased slots reused and tables rebuilt on the way;
// and keys chosen to defeat a weak hash.
#include "volume/ZRecordMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

using SearchEngine::ItemRecord;
using SearchEngine::ZRecordMap;

namespace {

using Model = std::unordered_multimap<DWORD, ItemRecord*>;
using Entries = std::vector<std::pair<DWORD, ItemRecord*>>;

// Items are only compared, never read: distinct fake addresses do.
ItemRecord* fakeItem(unsigned serial)
{
    return reinterpret_cast<ItemRecord*>(uintptr_t(0x10000) + uintptr_t(serial) * 16);
}

template <typename Range>
Entries sorted(Range first, Range last)
{
    Entries out;
    for (; first != last; ++first)
        out.emplace_back(first->first, first->second);
    std::sort(out.begin(), out.end());
    return out;
}

// Size, the whole iteration, and every key's values through equal_range
// and count equal the model's.
void expectSame(const ZRecordMap& map, const Model& model)
{
    ASSERT_EQ(map.size(), model.size());
    ASSERT_EQ(map.empty(), model.empty());
    ASSERT_EQ(sorted(map.begin(), map.end()), sorted(model.begin(), model.end()));
    std::map<DWORD, Entries> byKey;
    for (const auto& e : model)
        byKey[e.first].emplace_back(e.first, e.second);
    for (auto& k : byKey) {
        std::sort(k.second.begin(), k.second.end());
        auto range = map.equal_range(k.first);
        ASSERT_EQ(sorted(range.first, range.second), k.second) << k.first;
        ASSERT_EQ(map.count(k.first), k.second.size());
    }
}

// Erases one entry of the model's equal to (key, item).
void eraseFromModel(Model& model, DWORD key, ItemRecord* item)
{
    for (auto range = model.equal_range(key); range.first != range.second; ++range.first) {
        if (range.first->second == item) {
            model.erase(range.first);
            return;
        }
    }
    FAIL() << "no entry " << key;
}

} // namespace

TEST(RecordMap, FollowsAModelThroughInsertionsErasuresAndRebuilds)
{
    std::mt19937 rng(20261206);
    ZRecordMap map;
    Model model;
    unsigned serial = 0;
    size_t largest = 0;     // live entries at most since the last clear
    size_t reserved = 0;

    // Keys: a few with many links, a dense range, and anything at all.
    auto anyKey = [&]() -> DWORD {
        switch (rng() % 3) {
        case 0: return DWORD(rng() % 8);
        case 1: return DWORD(1000 + rng() % 4000);
        default: return DWORD(rng());
        }
    };
    auto randomEntry = [&]() { return std::next(model.begin(), long(rng() % model.size())); };

    for (int round = 0; round < 300; ++round) {
        const unsigned kind = rng() % 20;
        if (round % 60 == 59) {
            map.clear();
            model.clear();
            largest = reserved = 0;
            EXPECT_EQ(map.capacity(), 0u);
            EXPECT_TRUE(map.find(0) == map.end());
        } else if (kind == 1) {
            reserved = std::max(reserved, size_t(rng() % 6000));
            ASSERT_TRUE(map.reserve(reserved));
            // Room for the reserved entries: filling up to them rebuilds nothing.
            const size_t capacity = map.capacity();
            while (model.size() < reserved) {
                const DWORD key = anyKey();
                map.emplace(key, fakeItem(++serial));
                model.emplace(key, fakeItem(serial));
            }
            EXPECT_EQ(map.capacity(), capacity);
            largest = std::max(largest, model.size());
        }

        // A burst of insertions and erasures around a steady size, so
        // erased slots pile up and are reused or dropped by a rebuild.
        const size_t steady = 500 + rng() % 3000;
        for (int step = 0; step < 2000; ++step) {
            if (model.size() < steady && rng() % 2) {
                const DWORD key = anyKey();
                const auto it = map.emplace(key, fakeItem(++serial));
                ASSERT_TRUE(it != map.end());
                ASSERT_EQ(it->first, key);
                ASSERT_EQ(it->second, fakeItem(serial));
                model.emplace(key, fakeItem(serial));
                largest = std::max(largest, model.size());
                continue;
            }
            if (model.empty())
                continue;
            // A random entry, reached through find and a walk of its key.
            const auto victim = randomEntry();
            const DWORD key = victim->first;
            ItemRecord* const item = victim->second;
            auto it = map.find(key);
            while (it != map.end() && it->second != item)
                ++it;
            ASSERT_TRUE(it != map.end()) << key;
            if (rng() % 4 == 0) {
                // Relinked in place, as a completed rename does.
                it->second = fakeItem(++serial);
                victim->second = fakeItem(serial);
                continue;
            }
            // An iterator to another entry must survive the erasure.
            const auto other = randomEntry();
            auto kept = map.find(other->first);
            while (kept->second != other->second)
                ++kept;
            const bool keep = other != victim;
            map.erase(it);
            model.erase(victim);
            if (keep) {
                ASSERT_EQ(kept->first, other->first);
                ASSERT_EQ(kept->second, other->second);
            }
        }

        // Erasing while walking: every odd item of one key through
        // equal_range, then a share of everything through begin().
        if (!model.empty()) {
            const DWORD key = randomEntry()->first;
            auto range = map.equal_range(key);
            for (auto it = range.first; it != range.second;) {
                if (uintptr_t(it->second) & 16) {
                    eraseFromModel(model, key, it->second);
                    it = map.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (round % 25 == 0) {
            for (auto it = map.begin(); it != map.end();) {
                if (rng() % 3 == 0) {
                    eraseFromModel(model, it->first, it->second);
                    it = map.erase(it);
                } else {
                    ++it;
                }
            }
        }
        ASSERT_NO_FATAL_FAILURE(expectSame(map, model)) << "round " << round;

        // No growth beyond the live entries, however many came and went.
        const size_t bound = std::max({size_t(ZRecordMap::kMinCapacity), largest * 3 / 2 + 2,
                                       reserved * 8 / 7 + 2});
        ASSERT_LE(map.capacity(), bound) << "round " << round;
    }

    // end() taken before a rebuild is still end() after it.
    const auto end = map.end();
    ASSERT_TRUE(map.reserve(map.capacity() * 2));
    EXPECT_TRUE(end == map.end());
    EXPECT_TRUE(++map.end() == map.end());
    expectSame(map, model);
}

TEST(RecordMap, SpreadsKeysThatDefeatAWeakHash)
{
    // Multiples of large powers of two, the extremes, and numbers sharing
    // their low or high bits: each set must spread like random keys, or a
    // lookup would walk a cluster as long as the set.
    struct KeySet {
        const char* name;
        DWORD (*key)(DWORD i);
    };
    const KeySet sets[] = {
        {"dense", [](DWORD i) { return i; }},
        {"multiples of 2^16", [](DWORD i) { return i << 16; }},
        {"multiples of 2^20", [](DWORD i) { return (i << 20) | (i >> 12); }},
        {"high bits only", [](DWORD i) { return i << 17; }},
        {"low 16 bits equal", [](DWORD i) { return (i << 16) | 0xFFFFu; }},
        {"counting down from 0xFFFFFFFF", [](DWORD i) { return 0xFFFFFFFFu - i; }},
    };
    constexpr DWORD kKeys = 32768;
    for (const KeySet& set : sets) {
        ZRecordMap map;
        for (DWORD i = 0; i < kKeys; ++i)
            map.emplace(set.key(i), fakeItem(i));
        ASSERT_EQ(map.size(), kKeys) << set.name;
        for (DWORD i = 0; i < kKeys; i += 97) {
            const auto it = map.find(set.key(i));
            ASSERT_TRUE(it != map.end()) << set.name << " " << i;
            EXPECT_EQ(it->second, fakeItem(i)) << set.name;
        }
        // Random keys at a load up to 7/8 make clusters of some hundred slots.
        EXPECT_LT(map.longestCluster(), 2000u) << set.name;
    }

    // Many links under 0 and 0xFFFFFFFF; null and the erased mark are not items.
    ZRecordMap map;
    for (unsigned i = 1; i <= 200; ++i) {
        map.emplace(0, fakeItem(i));
        map.emplace(0xFFFFFFFFu, fakeItem(1000 + i));
    }
    EXPECT_TRUE(map.emplace(7, nullptr) == map.end());
    EXPECT_TRUE(map.emplace(7, ZRecordMap::erasedMark()) == map.end());
    EXPECT_EQ(map.size(), 400u);
    EXPECT_EQ(map.count(0), 200u);
    EXPECT_EQ(map.count(0xFFFFFFFFu), 200u);
    EXPECT_EQ(map.count(7), 0u);
    // A stale iterator to a gone entry erases nothing.
    auto first = map.find(0);
    map.erase(first);
    EXPECT_TRUE(map.erase(first) == map.end());
    EXPECT_EQ(map.size(), 399u);
}
