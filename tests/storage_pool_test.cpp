// The piece pool: keys and numbering, runs that do not fit the last piece,
// recycling after the reuse age (on the manual clock), save and load round
// trips, clear and refill, the piece-appended callback.
#include "platform/ZClock.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QDataStream>
#include <QSharedMemory>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstring>

using namespace SearchEngine;

namespace {

constexpr ULONGLONG kReuseAgeMs = ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000;

class StoragePool : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

    Platform::ZManualClock clock;
    const QString name = QUuid::createUuid().toString();
};

ZLockItem addItem(ZSharedPool& pool, const QString& text, DWORD recordNumber, bool recycled = false)
{
    ZItemName n;
    makeItemName(text, &n);
    ZLockItem run = recycled ? pool.allocate(n.slotCount()) : pool.append(n.slotCount());
    ZItemFields f;
    f.recordNumber = recordNumber;
    f.nameSignature = n.signature;
    f.modifyStamp = 4;
    createItem(run, f, n);
    return run;
}

// Puts a free run of `count` slots on the pool's lists, as a deletion does.
ZLockItem freedRun(ZSharedPool& pool, int count, bool recent = true)
{
    ZLockItem run = pool.append(count);
    pool.release(run, recent);
    return run;
}

QByteArray savePool(ZSharedPool& pool)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    pool.save(out);
    return bytes;
}

bool loadPool(ZSharedPool& pool, const QByteArray& bytes)
{
    QDataStream in(bytes);
    return pool.load(in);
}

size_t freeEntries(const ZSharedPool& pool)
{
    size_t n = 0;
    for (int i = 0; i < ZSharedPool::kFreeListCount; ++i)
        n += pool.freeList(i).size();
    return n;
}

} // namespace

TEST_F(StoragePool, PiecesAreKeyedByNameAndNumber)
{
    ZSharedPool pool(name, 'C');
    EXPECT_EQ(pool.name(), name);
    EXPECT_EQ(pool.pieceCount(), 0);
    EXPECT_EQ(pool.piece(1), nullptr);
    ASSERT_TRUE(pool.append(2));
    ASSERT_EQ(pool.pieceCount(), 1);
    EXPECT_EQ(pool.piece(1)->key(), name + QStringLiteral("1"));
    ASSERT_TRUE(pool.appendPiece());
    EXPECT_EQ(pool.piece(2)->key(), name + QStringLiteral("2"));
    EXPECT_EQ(pool.piece(2)->header()->pieceNumber, 2);
    EXPECT_FALSE(pool.append(0));
    EXPECT_FALSE(pool.allocate(256));
}

TEST_F(StoragePool, ARunThatDoesNotFitMovesToANewPieceAndTheTailIsFreed)
{
    ZSharedPool pool(name, 'C');
    ASSERT_TRUE(pool.append(2));
    PieceHeader* h = pool.piece(1)->header();
    h->usedSlots = h->slotLimit - 4;   // four slots left
    ZLockItem run = pool.append(7);
    ASSERT_TRUE(run);
    EXPECT_EQ(pool.pieceCount(), 2);
    EXPECT_EQ(run->slotIndex, 0u);
    EXPECT_EQ(run.pieceHeader(), pool.piece(2)->header());
    EXPECT_EQ(h->usedSlots, h->slotLimit);

    // The four-slot tail is a free run on list 3, stamped a day back.
    const auto& list = pool.freeList(3);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().run->slotIndex, h->slotLimit - 4);
    EXPECT_EQ(list.front().run.slotCount(), 4);
    EXPECT_EQ(list.front().run.flags(), 0);
    EXPECT_EQ(list.front().releaseTime, clock.now().addDays(-1));

    // A full last piece goes straight to a new one.
    PieceHeader* h2 = pool.piece(2)->header();
    h2->usedSlots = h2->slotLimit;
    ZLockItem next = pool.append(2);
    ASSERT_TRUE(next);
    EXPECT_EQ(pool.pieceCount(), 3);
    EXPECT_EQ(freeEntries(pool), 1u);
}

TEST_F(StoragePool, FreedRunsComeBackOnlyAfterTheReuseAge)
{
    ZSharedPool pool(name, 'C');
    ZLockItem freed = freedRun(pool, 3);
    clock.advance(kReuseAgeMs - 1000);
    ZLockItem fresh = pool.allocate(3);
    EXPECT_NE(fresh, freed);   // still too young, even as the only entry
    EXPECT_EQ(pool.freeList(2).size(), 1u);

    clock.advance(1000);
    EXPECT_EQ(pool.allocate(3), freed);
    EXPECT_TRUE(pool.freeList(2).empty());
}

TEST_F(StoragePool, RunsFromALoadAreStampedOneDayBack)
{
    ZSharedPool pool(name, 'C');
    ZLockItem freed = freedRun(pool, 2, false);
    clock.advance(kReuseAgeMs - 86400 * 1000ull - 1000);
    EXPECT_NE(pool.allocate(2), freed);
    clock.advance(1000);
    EXPECT_EQ(pool.allocate(2), freed);
}

TEST_F(StoragePool, TheLongRunListSkipsRunsThatAreTooShort)
{
    ZSharedPool pool(name, 'C');
    ZLockItem twentyOne = freedRun(pool, 21);
    ZLockItem thirty = freedRun(pool, 30);
    clock.advance(kReuseAgeMs);
    ZLockItem got = pool.allocate(25);
    EXPECT_EQ(got, thirty);
    EXPECT_EQ(got.slotCount(), 30);
    ASSERT_EQ(pool.freeList(19).size(), 1u);
    EXPECT_EQ(pool.freeList(19).front().run, twentyOne);
    // A younger entry behind an old one is not reached.
    ZLockItem young = freedRun(pool, 40);
    EXPECT_NE(pool.allocate(35), young);
    EXPECT_EQ(pool.allocate(20), twentyOne);
}

TEST_F(StoragePool, RecycledRunsKeepTheirOldBytes)
{
    ZSharedPool pool(name, 'C');
    ZLockItem first = addItem(pool, QStringLiteral("original-name"), 77);
    const ULONGLONG ref = first.itemRef();
    freeItem(pool, first, 12);
    clock.advance(kReuseAgeMs);
    ZLockItem again = pool.allocate(first.slotCount());
    ASSERT_EQ(again, first);
    EXPECT_EQ(again.itemRef(), ref);
    EXPECT_EQ(again.flags(), 0);
    EXPECT_EQ(again->recordNumber, 77u);
    EXPECT_EQ(again->modifyStamp, 12u);
}

TEST_F(StoragePool, SaveAndLoadRoundTripWithFreeRuns)
{
    ZSharedPool pool(name, 'C');
    for (DWORD i = 0; i < 3000; ++i) {
        ZLockItem run = addItem(pool, QStringLiteral("file-%1.dat").arg(i, 0, 36), 1000 + i);
        if (i % 7 == 3)
            freeItem(pool, run, i);
    }
    ASSERT_TRUE(pool.appendPiece());   // an empty last piece round-trips too
    const QByteArray saved = savePool(pool);

    ZSharedPool copy(name + QStringLiteral("copy"), 'C');
    ASSERT_TRUE(loadPool(copy, saved));
    ASSERT_EQ(copy.pieceCount(), pool.pieceCount());
    for (int p = 1; p <= pool.pieceCount(); ++p) {
        const PieceHeader* a = pool.piece(p)->header();
        const PieceHeader* b = copy.piece(p)->header();
        EXPECT_EQ(std::memcmp(a, b, sizeof(PieceHeader)), 0);
    }
    QList<QByteArray> before, after;
    QList<ULONGLONG> refsBefore, refsAfter;
    pool.forEachItem([&](ZLockItem i) { return before.append(i.name()), refsBefore.append(i.itemRef()), true; });
    copy.forEachItem([&](ZLockItem i) {
        EXPECT_EQ(i->modifyStamp, 0u);
        return after.append(i.name()), refsAfter.append(i.itemRef()), true;
    });
    EXPECT_EQ(before, after);
    EXPECT_EQ(refsBefore, refsAfter);
    EXPECT_EQ(before.size(), 3000 - 429);
    // Every freed run is on the lists, a day old, and the copy saves the same.
    EXPECT_EQ(freeEntries(copy), freeEntries(pool));
    EXPECT_EQ(copy.freeList(2).front().releaseTime, clock.now().addDays(-1));
    QByteArray again = savePool(copy);
    EXPECT_EQ(again.size(), saved.size());
}

TEST_F(StoragePool, EmptyPoolSavesAsACountOfZero)
{
    ZSharedPool pool(name, 'C');
    const QByteArray bytes = savePool(pool);
    EXPECT_EQ(bytes, QByteArray(4, '\0'));
    ZSharedPool copy(name, 'C');
    EXPECT_TRUE(loadPool(copy, bytes));
    EXPECT_EQ(copy.pieceCount(), 0);
}

TEST_F(StoragePool, LoadOnlyIntoAnEmptyPool)
{
    ZSharedPool pool(name, 'C');
    addItem(pool, QStringLiteral("x"), 1);
    const QByteArray bytes = savePool(pool);
    ZSharedPool other(QUuid::createUuid().toString(), 'C');
    addItem(other, QStringLiteral("y"), 2);
    EXPECT_FALSE(loadPool(other, bytes));
    EXPECT_EQ(other.pieceCount(), 1);
}

TEST_F(StoragePool, AFailedPieceTakesItsFreeRunsOffTheLists)
{
    ZSharedPool pool(name, 'C');
    freedRun(pool, 2);
    ASSERT_TRUE(pool.appendPiece());
    freedRun(pool, 3);
    addItem(pool, QStringLiteral("second-piece-item"), 9);
    QByteArray bytes = savePool(pool);
    // Spoil the live run of piece 2, after its free run was read.
    const int lastRun = bytes.size() - (57 + 17);
    bytes[lastRun + 1] = 0;
    pool.clear();

    ZSharedPool copy(name, 'C');
    EXPECT_FALSE(loadPool(copy, bytes));
    EXPECT_EQ(copy.pieceCount(), 1);
    EXPECT_EQ(copy.freeList(1).size(), 1u);
    EXPECT_TRUE(copy.freeList(2).empty());   // piece 2's run went with it
    clock.advance(kReuseAgeMs);
    ZLockItem reused = copy.allocate(3);
    ASSERT_TRUE(reused);
    EXPECT_EQ(reused.pieceHeader(), copy.piece(1)->header());
}

TEST_F(StoragePool, ClearDropsEverythingAndRefillsWithTheSameKeys)
{
    ZSharedPool pool(name, 'C');
    addItem(pool, QStringLiteral("a"), 1);
    freedRun(pool, 4);
    ASSERT_TRUE(pool.appendPiece());
    const QString key1 = pool.piece(1)->key();
    pool.clear();
    EXPECT_EQ(pool.pieceCount(), 0);
    EXPECT_EQ(freeEntries(pool), 0u);
    QSharedMemory probe(key1);
    EXPECT_FALSE(probe.attach(QSharedMemory::ReadOnly));   // the segment is gone
    ASSERT_TRUE(pool.append(2));
    EXPECT_EQ(pool.piece(1)->key(), key1);
    EXPECT_TRUE(pool.piece(1)->key().endsWith(QLatin1Char('1')));
    EXPECT_EQ(pool.piece(1)->header()->usedSlots, 2u);
}

TEST_F(StoragePool, PieceAppendedCallbackGetsDriveAndNewCount)
{
    ZSharedPool pool(name, 'E');
    QList<QPair<unsigned short, int>> calls;
    pool.setPieceAppendedCallback([&](unsigned short drive, int count) {
        calls.append(qMakePair(drive, count));
        EXPECT_EQ(pool.pieceCount(), count);   // the piece is in the pool already
    });
    pool.append(2);
    pool.append(2);
    pool.appendPiece();
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[0], qMakePair((unsigned short)'E', 1));
    EXPECT_EQ(calls[1], qMakePair((unsigned short)'E', 2));
    // A load recreates pieces the clients are told of in one announcement.
    const QByteArray bytes = savePool(pool);
    pool.clear();
    ASSERT_TRUE(loadPool(pool, bytes));
    EXPECT_EQ(calls.size(), 2);
}

// A lasting failure also lowers the process-wide piece size: run in a child.
using StoragePoolDeathTest = StoragePool;
TEST_F(StoragePoolDeathTest, APieceThatCannotBeMadeIsTriedFiveTimes)
{
    EXPECT_EXIT(
        {
            ZSharedPool pool(name, 'C');
            // Hold the key of piece 1 elsewhere so creation keeps failing.
            ZSharedPiece squatter(name + QStringLiteral("1"), 1, nullptr);
            int failures = !squatter.init(false, 'C');
            const ULONGLONG before = clock.tickMs();
            failures += bool(pool.append(2));
            failures += pool.pieceCount() != 0;
            failures += clock.tickMs() - before != 5 * ZSharedPool::kAppendPieceRetryMs;
            squatter.release();
            // Once the key is free again the pool goes on (at the lowered size).
            failures += !pool.append(2);
            pool.clear();
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}
