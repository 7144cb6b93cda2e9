// The compact stores behind the emulated volume: the name arena (narrow and
// wide names across chunk ends), the flat name index (against a model, with
// keys whose kept bits collide) and the chunked array (stable references).
#include "devices/ZChunkedArray.h"
#include "devices/ZFlatMultimap.h"
#include "devices/ZNameArena.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using Platform::ZChunkedArray;
using Platform::ZFlatMultimap;
using Platform::ZNameArena;

namespace {

std::u16string randomName(std::mt19937& random)
{
    // Plain ASCII, Latin-1 (still narrow), and wide names (CJK, surrogates).
    static const char16_t kWide[] = {u'\u00e9', u'\u00ff', u'\u0100', u'\u4e2d', 0xD83D, 0xDE00, u'\uffff'};
    const size_t length = random() % 2 ? random() % 20 + 1 : random() % ZNameArena::kMaxUnits + 1;
    std::u16string name;
    const bool wide = random() % 3 == 0;
    for (size_t i = 0; i < length; ++i)
        name += wide && random() % 4 == 0 ? kWide[random() % 7] : char16_t(u'a' + random() % 26);
    return name;
}

} // namespace

TEST(CompactStores, NamesReadBackExactlyInEitherFormAcrossChunks)
{
    std::mt19937 random(11);
    ZNameArena arena;
    std::vector<std::pair<ZNameArena::Name, std::u16string>> stored;
    while (arena.size() < 3 * ZNameArena::kChunkBytes) {
        const std::u16string name = randomName(random);
        const ZNameArena::Name at = arena.append(name.data(), name.size());
        EXPECT_EQ(at.narrow, ZNameArena::fitsNarrow(name.data(), name.size()));
        if (!at.narrow) {
            EXPECT_EQ(at.offset % 2, 0u) << "wide units stay aligned";
        }
        stored.emplace_back(at, name);
    }
    char16_t scratch[ZNameArena::kMaxUnits];
    for (const auto& s : stored) {
        const char16_t* units = arena.units(s.first, s.second.size(), scratch);
        ASSERT_EQ(std::u16string(units, units + s.second.size()), s.second);
        // A name never straddles two chunks.
        const size_t bytes = s.first.narrow ? s.second.size() : 2 * s.second.size();
        EXPECT_EQ(s.first.offset / ZNameArena::kChunkBytes, (s.first.offset + bytes - 1) / ZNameArena::kChunkBytes);
    }
    // Over-long names are cut; an offset past the end reads as zeros, not past the store.
    const std::u16string tooLong(400, u'x');
    const ZNameArena::Name cut = arena.append(tooLong.data(), tooLong.size());
    EXPECT_EQ(std::u16string(arena.units(cut, 400, scratch), ZNameArena::kMaxUnits),
              std::u16string(ZNameArena::kMaxUnits, u'x'));
    EXPECT_EQ(arena.units(ZNameArena::Name{0xFFFFFF00u, true}, 3, scratch)[0], 0);
}

TEST(CompactStores, NameIndexFindsEveryEntryThroughGrowthErasureAndCollidingKeysAndTakesAReservedCount)
{
    std::mt19937_64 random(5);
    ZFlatMultimap index;
    std::multimap<uint64_t, uint32_t> model;
    std::vector<uint64_t> keys;
    for (int round = 0; round < 40000; ++round) {
        if (round == 20000)
            index.reserve(index.size() * 2);   // a rehash with erased slots about, entries kept
        const int op = int(random() % 10);
        if (op < 6 || model.empty()) {
            uint64_t key = random();
            if (!keys.empty() && random() % 4 == 0) {
                // Same kept bits as an existing key: (k ^ c ^ c << 32) folds to k's tag.
                const uint64_t c = random() & 0xFFFFFFFFu;
                key = keys[random() % keys.size()] ^ c ^ (c << 32);
            } else if (!keys.empty() && random() % 4 == 0) {
                key = keys[random() % keys.size()];   // several values under one key
            }
            const uint32_t value = uint32_t(random() % 100000);
            index.insert(key, value);
            model.emplace(key, value);
            keys.push_back(key);
        } else {
            auto it = model.begin();
            std::advance(it, random() % model.size());
            ASSERT_TRUE(index.erase(it->first, it->second));
            model.erase(it);
        }
    }
    EXPECT_EQ(index.size(), model.size());
    EXPECT_FALSE(index.erase(keys.front(), 100001u));   // a value never stored
    // Every value stored under a key is offered for it (others with the same kept bits may be too).
    for (uint64_t key : keys) {
        std::multiset<uint32_t> offered;
        index.visit(key, [&](uint32_t v) {
            offered.insert(v);
            return false;
        });
        auto range = model.equal_range(key);
        for (auto it = range.first; it != range.second; ++it) {
            auto hit = offered.find(it->second);
            ASSERT_NE(hit, offered.end()) << "key " << key << " lost value " << it->second;
            offered.erase(hit);
        }
    }
    // Reserved, an index takes its count without growing.
    constexpr uint32_t kEntries = 100000;
    ZFlatMultimap reservedIndex;
    reservedIndex.reserve(kEntries);
    const size_t reserved = reservedIndex.bytes();
    for (uint32_t v = 0; v < kEntries; ++v)
        reservedIndex.insert(uint64_t(v) * 0x9E3779B97F4A7C15ull, v);
    EXPECT_EQ(reservedIndex.bytes(), reserved);
    for (uint32_t v = 0; v < kEntries; v += 997)
        EXPECT_TRUE(reservedIndex.visit(uint64_t(v) * 0x9E3779B97F4A7C15ull, [&](uint32_t got) { return got == v; }));
}

TEST(CompactStores, ChunkedArrayKeepsReferencesAndMakesFreshElements)
{
    struct Element {
        unsigned long long a = 7;
        int b = -1;
    };
    ZChunkedArray<Element, 4> array;
    Element& first = array.emplace_back();
    first.a = 42;
    array.resize(100);
    EXPECT_EQ(&first, &array[0]);
    EXPECT_EQ(array[0].a, 42u);
    for (size_t i = 1; i < array.size(); ++i)
        ASSERT_TRUE(array[i].a == 7 && array[i].b == -1);
    array.resize(10);   // never shrinks
    EXPECT_EQ(array.size(), 100u);
}
