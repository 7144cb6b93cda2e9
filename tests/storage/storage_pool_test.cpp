// The piece pool: runs that do not fit the last piece, recycling after the
// reuse age (on the manual clock), save and load round trips, clear and
// refill, the piece-appended callback, retries of a piece that cannot be made.
#include "win32/ZClock.h"
#include "storage/storage_probe_names.h"

#include <unistd.h>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstring>

using namespace SearchEngine;
using namespace StorageProbe;

namespace {

constexpr ULONGLONG kReuseAgeMs = ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000;
constexpr ULONGLONG kDayMs = 86400 * 1000ull;

class StoragePool : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

    // Puts a free run of `count` slots on the pool's lists, as a deletion does.
    ZLockItem freedRun(int count, bool recent = true)
    {
        ZLockItem run = pool.append(count);
        pool.release(run, recent);
        return run;
    }
    static size_t freeEntries(const ZSharedPool& p)
    {
        size_t n = 0;
        for (int i = 0; i < ZSharedPool::kFreeListCount; ++i)
            n += p.freeList(i).size();
        return n;
    }

    Platform::ZManualClock clock;
    const QString name = QUuid::createUuid().toString();
    ZSharedPool pool{name, 'C'};
};

} // namespace

TEST_F(StoragePool, ARunThatDoesNotFitMovesToANewPieceAndTheTailIsFreed)
{
    EXPECT_FALSE(pool.append(0));
    EXPECT_FALSE(pool.allocate(256));
    ASSERT_TRUE(pool.append(2));
    PieceHeader* h = pool.piece(1)->header();
    h->usedSlots = h->slotLimit - 4;   // four slots left
    ZLockItem run = pool.append(7);
    ASSERT_EQ(pool.pieceCount(), 2);
    EXPECT_EQ(pool.piece(2)->key(), name + QStringLiteral("2"));
    EXPECT_EQ(run.itemRef(), makeItemRef('C', 2, 0));
    EXPECT_EQ(h->usedSlots, h->slotLimit);
    // The four-slot tail is a free run on list 3, stamped a day back.
    const auto& list = pool.freeList(3);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().run.itemRef(), makeItemRef('C', 1, h->slotLimit - 4));
    EXPECT_EQ(list.front().run.slotCount(), 4);
    EXPECT_EQ(list.front().run.flags(), 0);
    EXPECT_EQ(list.front().releaseTime, clock.now().addDays(-1));
    // A full last piece goes straight to a new one.
    pool.piece(2)->header()->usedSlots = pool.piece(2)->header()->slotLimit;
    ASSERT_TRUE(pool.append(2));
    EXPECT_EQ(pool.pieceCount(), 3);
    EXPECT_EQ(freeEntries(pool), 1u);
}

TEST_F(StoragePool, FreedRunsComeBackOnlyAfterTheReuseAge)
{
    ZLockItem freed = freedRun(3);
    ZLockItem loaded = freedRun(2, false);   // from a load: stamped a day back
    clock.advance(kReuseAgeMs - kDayMs - 1000);
    EXPECT_NE(pool.allocate(2), loaded);
    clock.advance(1000);
    EXPECT_EQ(pool.allocate(2), loaded);
    clock.advance(kDayMs - 1000);
    EXPECT_NE(pool.allocate(3), freed);   // still too young, even as the only entry
    clock.advance(1000);
    EXPECT_EQ(pool.allocate(3), freed);
    EXPECT_TRUE(pool.freeList(2).empty());

    // The long-run list skips runs too short, and a young entry behind an old one is not reached.
    ZLockItem twentyOne = freedRun(21);
    ZLockItem thirty = freedRun(30);
    clock.advance(kReuseAgeMs);
    ZLockItem got = pool.allocate(25);
    EXPECT_EQ(got, thirty);
    EXPECT_EQ(got.slotCount(), 30);
    ZLockItem young = freedRun(40);
    EXPECT_NE(pool.allocate(35), young);
    EXPECT_EQ(pool.allocate(20), twentyOne);

    // A recycled run is handed out still free, its old bytes there until rewritten.
    ZLockItem first = addItem(pool, QStringLiteral("original-name"), 77);
    freeItem(pool, first, 12);
    clock.advance(kReuseAgeMs);
    ZLockItem again = pool.allocate(first.slotCount());
    ASSERT_EQ(again, first);
    EXPECT_EQ(again.flags(), 0);
    EXPECT_EQ(again->recordNumber, 77u);
    EXPECT_EQ(again->modifyStamp, 12u);
}

TEST_F(StoragePool, SaveAndLoadRoundTripWithFreeRuns)
{
    ZSharedPool empty(name + QStringLiteral("empty"), 'C');
    EXPECT_EQ(savePool(empty), QByteArray(4, '\0'));
    EXPECT_TRUE(loadPool(empty, QByteArray(4, '\0')));
    EXPECT_EQ(empty.pieceCount(), 0);

    for (DWORD i = 0; i < 3000; ++i) {
        ZLockItem run = addItem(pool, QStringLiteral("file-%1.dat").arg(i, 0, 36), 1000 + i, false, 4);
        if (i % 7 == 3)
            freeItem(pool, run, i);
    }
    ASSERT_TRUE(pool.appendPiece());   // an empty last piece round-trips too
    const QByteArray saved = savePool(pool);
    EXPECT_FALSE(loadPool(pool, saved));   // only into an empty pool
    ZSharedPool copy(name + QStringLiteral("copy"), 'C');
    ASSERT_TRUE(loadPool(copy, saved));
    ASSERT_EQ(copy.pieceCount(), pool.pieceCount());
    for (int p = 1; p <= pool.pieceCount(); ++p)
        EXPECT_EQ(std::memcmp(pool.piece(p)->header(), copy.piece(p)->header(), sizeof(PieceHeader)), 0);
    // The same live items under the same references, stamps back at 0.
    auto walk = [](ZSharedPool& p) {
        QList<QPair<QByteArray, ULONGLONG>> items;
        p.forEachItem([&](ZLockItem i) { return items.append({i.name(), i.itemRef()}), true; });
        return items;
    };
    const auto before = walk(pool);
    EXPECT_EQ(walk(copy), before);
    copy.forEachItem([](ZLockItem i) { EXPECT_EQ(i->modifyStamp, 0u); return true; });
    EXPECT_EQ(before.size(), 3000 - 429);
    // Every freed run is on the lists, a day old, and the copy saves the same.
    EXPECT_EQ(freeEntries(copy), freeEntries(pool));
    EXPECT_EQ(copy.freeList(2).front().releaseTime, clock.now().addDays(-1));
    EXPECT_EQ(savePool(copy).size(), saved.size());
}

TEST_F(StoragePool, AFailedPieceTakesItsFreeRunsOffTheLists)
{
    freedRun(2);
    ASSERT_TRUE(pool.appendPiece());
    freedRun(3);
    addItem(pool, QStringLiteral("second-piece-item"), 9);
    QByteArray bytes = savePool(pool);
    bytes[bytes.size() - (57 + 17) + 1] = 0;   // spoil piece 2's live run, after its free run was read
    pool.clear();

    ZSharedPool copy(name, 'C');
    EXPECT_FALSE(loadPool(copy, bytes));
    EXPECT_EQ(copy.pieceCount(), 1);
    EXPECT_EQ(copy.freeList(1).size(), 1u);
    EXPECT_TRUE(copy.freeList(2).empty());   // piece 2's run went with it
    clock.advance(kReuseAgeMs);
    EXPECT_EQ(copy.allocate(3).pieceHeader(), copy.piece(1)->header());
    copy.clear();
    EXPECT_EQ(freeEntries(copy), 0u);
}

TEST_F(StoragePool, ClearDropsTheSegmentsAndRefillsWithTheSameKeys)
{
    QList<QPair<unsigned short, int>> calls;
    pool.setPieceAppendedCallback([&](unsigned short letter, int count) {
        calls.append(qMakePair(letter, count));
        EXPECT_EQ(pool.pieceCount(), count);   // the piece is in the pool already
    });
    freedRun(4);
    ASSERT_TRUE(pool.appendPiece());
    EXPECT_EQ(calls, (QList<QPair<unsigned short, int>>{{'C', 1}, {'C', 2}}));
    const QString key1 = pool.piece(1)->key();
    EXPECT_EQ(key1, name + QStringLiteral("1"));
    const QByteArray bytes = savePool(pool);
    pool.clear();
    EXPECT_EQ(pool.pieceCount(), 0);
    EXPECT_EQ(freeEntries(pool), 0u);
    EXPECT_FALSE(ZSharedSegment(key1).attach(SegmentOwner{geteuid(), 0}));   // the segment is gone
    ASSERT_TRUE(pool.append(2));
    EXPECT_EQ(pool.piece(1)->key(), key1);
    EXPECT_EQ(pool.piece(1)->header()->usedSlots, 2u);
    // A load recreates pieces the clients are told of in one announcement.
    pool.clear();
    calls.clear();
    ASSERT_TRUE(loadPool(pool, bytes));
    EXPECT_TRUE(calls.isEmpty());
}

// A lasting failure also lowers the process-wide piece size: run in a child.
using StoragePoolDeathTest = StoragePool;
TEST_F(StoragePoolDeathTest, APieceThatCannotBeMadeIsTriedFiveTimes)
{
    EXPECT_EXIT(
        {
            // The system refuses every size for a while.
            ZSharedPiece::setCreateGateForTesting([](int) { return false; });
            const ULONGLONG before = clock.tickMs();
            int failures = bool(pool.append(2)) || pool.pieceCount() != 0;
            failures += clock.tickMs() - before != 5 * ZSharedPool::kAppendPieceRetryMs;
            ZSharedPiece::setCreateGateForTesting(nullptr);
            // Once it gives again the pool goes on (at the lowered size).
            failures += !pool.append(2);
            pool.clear();
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}

// The first piece's key already taken: the pool, not announced yet, takes another name.
TEST_F(StoragePool, AFirstKeyTakenGivesThePoolAnotherName)
{
    ZSharedPiece squatter(name + QStringLiteral("1"), 1, nullptr);
    ASSERT_TRUE(squatter.init(false, 'C'));
    ASSERT_TRUE(pool.append(2));
    EXPECT_NE(pool.name(), name);
    EXPECT_EQ(pool.piece(1)->key(), pool.name() + QStringLiteral("1"));
}
