// The record map against std::unordered_multimap through any mix of
// insertions, erasures (through iterators of every kind), clears and
// reserves, erased slots reused and tables rebuilt on the way; and keys
// chosen to defeat a weak hash.
#include "volume/ZRecordMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
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

template <typename It>
Entries sorted(It first, It last)
{
    Entries out;
    for (; first != last; ++first)
        out.emplace_back(first->first, first->second);
    std::sort(out.begin(), out.end());
    return out;
}

// The same size, entries, and entries of each key through equal_range.
void expectSame(const ZRecordMap& map, const Model& model)
{
    ASSERT_EQ(map.size(), model.size());
    ASSERT_EQ(sorted(map.begin(), map.end()), sorted(model.begin(), model.end()));
    for (const auto& e : model) {
        const auto mine = map.equal_range(e.first);
        const auto theirs = model.equal_range(e.first);
        ASSERT_EQ(sorted(mine.first, mine.second), sorted(theirs.first, theirs.second)) << e.first;
    }
}

} // namespace

TEST(RecordMap, FollowsAModelThroughErasuresRebuildsClearsAndReserves)
{
    std::mt19937 rng(20261206);
    ZRecordMap map;
    Model model;
    unsigned serial = 0;
    size_t largest = 0, reserved = 0;  // since the last clear
    // Keys: a few with many links, a dense range, and anything at all.
    auto anyKey = [&]() -> DWORD { return rng() % 3 == 0 ? rng() % 8 : rng() % 3 == 0 ? rng() : 1000 + rng() % 4000; };
    auto anyEntry = [&]() { return std::next(model.begin(), long(rng() % model.size())); };
    auto dropFromModel = [&](DWORD key, ItemRecord* item) {
        const auto e = std::find(model.begin(), model.end(), Model::value_type(key, item));
        ASSERT_TRUE(e != model.end()) << key;
        model.erase(e);
    };
    auto entryOf = [&](Model::iterator e) {
        auto it = map.find(e->first);
        while (it != map.end() && it->second != e->second)
            ++it;
        return it;
    };
    auto insert = [&] {
        const DWORD key = anyKey();
        const auto it = map.emplace(key, fakeItem(++serial));
        ASSERT_TRUE(it != map.end() && it->first == key && it->second == fakeItem(serial));
        model.emplace(key, fakeItem(serial));
        largest = std::max(largest, model.size());
    };
    // Erasing while walking, through equal_range or begin().
    auto eraseWalking = [&](ZRecordMap::iterator it, auto pick) {
        while (it != map.end()) {
            if (pick(it->second)) {
                dropFromModel(it->first, it->second);
                it = map.erase(it);
            } else {
                ++it;
            }
        }
    };

    for (int round = 0; round < 240; ++round) {
        if (round % 60 == 59) {
            map.clear();
            model.clear();
            largest = reserved = 0;
        } else if (round % 20 == 7) {
            // Filling up to a reserve rebuilds nothing.
            reserved = std::max(reserved, size_t(rng() % 6000));
            ASSERT_TRUE(map.reserve(reserved));
            const size_t capacity = map.capacity();
            while (model.size() < reserved)
                insert();
            EXPECT_EQ(map.capacity(), capacity);
        }
        // Insertions and erasures around a steady size: erased slots pile up,
        // are reused, and are dropped by rebuilds.
        const size_t steady = 500 + rng() % 3000;
        for (int step = 0; step < 2000; ++step) {
            if (model.empty() || (model.size() < steady && rng() % 2)) {
                insert();
                continue;
            }
            const auto victim = anyEntry();
            const auto it = entryOf(victim);
            ASSERT_TRUE(it != map.end()) << victim->first;
            if (rng() % 4 == 0) { // relinked in place, as a completed rename does
                it->second = victim->second = fakeItem(++serial);
                continue;
            }
            // An iterator to another entry survives the erasure.
            const auto other = anyEntry();
            const auto kept = entryOf(other);
            map.erase(it);
            model.erase(victim);
            ASSERT_TRUE(other == victim || (kept->first == other->first && kept->second == other->second));
        }
        if (!model.empty())
            eraseWalking(map.find(anyEntry()->first), [](ItemRecord* item) { return uintptr_t(item) & 16; });
        if (round % 25 == 0)
            eraseWalking(map.begin(), [&](ItemRecord*) { return rng() % 3 == 0; });
        ASSERT_NO_FATAL_FAILURE(expectSame(map, model)) << "round " << round;
        // No growth past the live entries, however many came and went.
        ASSERT_LE(map.capacity(), std::max({size_t(ZRecordMap::kMinCapacity), largest * 3 / 2 + 2, reserved * 8 / 7 + 2}));
    }

    // end() is end() across a rebuild and stays put; a stale iterator erases nothing.
    const auto end = map.end();
    ASSERT_TRUE(map.reserve(map.capacity() * 2));
    EXPECT_TRUE(end == map.end() && ++map.end() == map.end());
    const auto gone = map.begin();
    dropFromModel(gone->first, gone->second);
    map.erase(gone);
    EXPECT_TRUE(map.erase(gone) == map.end());
    expectSame(map, model);
}

TEST(RecordMap, SpreadsKeysThatDefeatAWeakHash)
{
    // Each set must spread like random keys, or a lookup would walk a
    // cluster as long as the set. Random keys at a load up to 7/8 make
    // clusters of some hundred slots.
    DWORD (*const sets[])(DWORD) = {
        [](DWORD i) { return i; },                         // dense
        [](DWORD i) { return i << 16; },                   // multiples of 2^16
        [](DWORD i) { return (i << 20) | (i >> 12); },     // multiples of 2^20, nearly
        [](DWORD i) { return (i << 16) | 0xFFFFu; },       // equal low bits
        [](DWORD i) { return 0xFFFFFFFFu - i; },           // down from the top
    };
    constexpr DWORD kKeys = 32768;
    for (auto key : sets) {
        ZRecordMap map;
        for (DWORD i = 0; i < kKeys; ++i)
            map.emplace(key(i), fakeItem(i));
        ASSERT_EQ(map.size(), kKeys) << key(1);
        for (DWORD i = 0; i < kKeys; i += 97)
            ASSERT_TRUE(map.find(key(i)) != map.end() && map.find(key(i))->second == fakeItem(i)) << key(i);
        EXPECT_LT(map.longestCluster(), 2000u) << key(1);
    }

    // Null and the erased mark are no items (many links under one key are the model test's).
    ZRecordMap map;
    EXPECT_TRUE(map.emplace(7, nullptr) == map.end() && map.emplace(7, ZRecordMap::erasedMark()) == map.end());
    EXPECT_EQ(map.size(), 0u);
}
