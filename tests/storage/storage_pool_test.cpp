// Item records and the piece pool: slot counts, name signatures and item
// references; the item store's rules for creating,
// freeing, pruning, replacing on a rename and refreshing in place; runs that
// do not fit the last piece, recycling after the reuse age (on the manual
// clock), save and load round trips, clear and refill, the piece-appended
// callback, retries of a piece that cannot be made.
#include "win32/ZClock.h"
#include "storage/storage_probe_names.h"

#include <unistd.h>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

using namespace SearchEngine;
using namespace StorageProbe;

namespace {

constexpr ULONGLONG kReuseAgeMs = ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000;
constexpr ULONGLONG kDayMs = 86400 * 1000ull;

// Changes the case of ASCII letters only, as the signature ignores it.
QString asciiCase(QString s, bool upper)
{
    for (QChar& c : s)
        if (c.unicode() < 0x80)
            c = upper ? c.toUpper() : c.toLower();
    return s;
}

ULONGLONG signatureOf(const QString& s) { return nameSignatureOf(s.utf16(), s.size()); }

// flags, recordNumber, parent, attributes, fileSize, changeTime, accessTime, modifyStamp, name
using State = std::tuple<int, DWORD, DWORD, DWORD, ULONGLONG, ULONGLONG, ULONGLONG, DWORD, QByteArray>;

State stateOf(const ZLockItem& i)
{
    return State(i.flags(), i->recordNumber, i->parentRecordNumber, i->attributes, i->fileSize, i->changeTime,
                 i->accessTime, i->modifyStamp, i.name());
}

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
    // The free-list entry of a run freed now.
    FreeEntry freeEntryOf(const ZLockItem& run)
    {
        return FreeEntry(ZSharedPool::freeListIndex(run.slotCount()), run.itemRef(), run.slotCount(), 0, clock.now());
    }

    // A live item of parent 5, attributes 0x20, size 1234, times 111 and 222.
    ZLockItem create(const QString& text, DWORD recordNumber, BYTE flags = 0, DWORD stamp = 0)
    {
        ZItemName n;
        EXPECT_TRUE(makeItemName(text, &n));
        ZLockItem run = pool.allocate(n.slotCount());
        const ZItemFields f{recordNumber, 5, 0x20, 1234, 111, 222, n.signature, flags, stamp};
        EXPECT_TRUE(createItem(run, f, n));
        return run;
    }

    Platform::ZManualClock clock;
    const QString name = QUuid::createUuid().toString();
    ZSharedPool pool{name, 'C'};
};

// The item store's rules share the pool fixture.
using StorageItemStore = StoragePool;

} // namespace

TEST(StorageRecord, SlotCountsReferencesNameSignaturesAndItemNames)
{
    // The 2-, 3- and 26-slot bounds are static_asserts of the header; this is the next step up.
    EXPECT_EQ(slotsForNameLength(38), 3);
    EXPECT_EQ(slotsForNameLength(39), 4);
    // Every name fits, with the byte after it, in the run its length asks
    // for, and never needs more than one slot beyond the bytes it has.
    for (int n = 0; n <= kItemNameBufferSize; ++n) {
        EXPECT_TRUE(nameFitsRun(n, slotsForNameLength(n))) << n;
        EXPECT_FALSE(nameFitsRun(n, slotsForNameLength(n) - 2)) << n;
    }

    // The decoders are checked through the reader's resolving of references.
    EXPECT_EQ(makeItemRef('C', 7, 123456), (ULONGLONG('C') << 48) | (7ull << 32) | 123456u);
    EXPECT_EQ(makeItemRef(0xFFFF, 0xFFFF, 0xFFFFFFFFu), ~0ull);
    EXPECT_EQ(ZLockItem().itemRef(), 0u);

    EXPECT_EQ(signatureOf(QString()), 0u);
    EXPECT_EQ(signatureOf(QStringLiteral("a")), 2u);
    EXPECT_EQ(signatureOf(QStringLiteral("aB")), (4ull << 32) | 6u);
    EXPECT_EQ(signatureOf(QStringLiteral("Readme.TXT")), signatureOf(QStringLiteral("README.txt")));
    // A name containing a term (ASCII case ignored) has every bit of the term.
    for (const QString& name : {QStringLiteral("Quarterly Report 2026.xlsx"), QStringLiteral("zz_Top~1.DAT"),
                                QString::fromUtf8("Grüße-naïve.doc")}) {
        for (int from = 0; from < name.size(); ++from) {
            for (int len = 1; from + len <= name.size(); ++len) {
                const QString term = name.mid(from, len);
                for (bool upper : {true, false})
                    EXPECT_TRUE(signatureMayContain(signatureOf(name), signatureOf(asciiCase(term, upper))))
                        << name.toStdString() << " / " << term.toStdString();
            }
        }
    }
    EXPECT_FALSE(signatureMayContain(signatureOf(QStringLiteral("abc")), signatureOf(QStringLiteral("x"))));

    // Item names convert within the buffer.
    ZItemName name;
    const QString unicode = QString::fromUtf8("Ünïcödé.txt");
    ASSERT_TRUE(makeItemName(unicode, &name));
    EXPECT_EQ(QByteArray(name.utf8, name.length), unicode.toUtf8());
    EXPECT_EQ(name.signature, signatureOf(unicode));
    // 255 UTF-16 units of three UTF-8 bytes each: 765 bytes.
    ASSERT_TRUE(makeItemName(QString(255, QChar(0x20AC)), &name));
    EXPECT_EQ(name.length, 765);
    EXPECT_FALSE(makeItemName(QString(400, QChar(0x20AC)), &name));   // more than the buffer holds
    EXPECT_EQ(name.length, 0);
}

TEST_F(StorageItemStore, CreateRefreshFreeAndPruneTouchOnlyTheirFieldsAndRefuseUnfitRuns)
{
    ZLockItem item = create(QStringLiteral("Budget.xlsx"), 42, NoData | 0x80, 7);
    ASSERT_TRUE(item);
    // Only the descriptive flag bits are taken.
    EXPECT_EQ(stateOf(item), State(InUse | NoData, 42, 5, 0x20, 1234, 111, 222, 7, "Budget.xlsx"));
    EXPECT_EQ(item->nameBytes()[11], 0);   // fresh piece: the byte after the name is 0
    EXPECT_EQ(item->nameSignature, nameSignatureOf(QStringLiteral("Budget.xlsx").utf16(), 11));

    ZItemFields f;
    EXPECT_FALSE(createItem(item, f, "again", 5));   // live already
    EXPECT_EQ(item.name(), QByteArray("Budget.xlsx"));
    EXPECT_FALSE(createItem(ZLockItem(), f, "x", 1));
    ZLockItem small = pool.append(2);
    EXPECT_FALSE(createItem(small, f, "12345678", 8));   // 56 + 8 + 1 > 64
    EXPECT_EQ(small.flags(), 0);
    EXPECT_TRUE(createItem(small, f, "12345678", 7));

    // Refresh, free and prune touch only their fields.
    ZLockItem data = create(QStringLiteral("data.bin"), 8, NoData, 5);
    const ULONGLONG ref = data.itemRef();
    refreshItem(data, 4096, 333, 444, NoNameTimes | InUse | 0x40);   // only sizes, times and their bits
    EXPECT_EQ(stateOf(data), State(InUse | NoNameTimes, 8, 5, 0x20, 4096, 333, 444, 5, "data.bin"));
    freeItem(pool, data, 31);
    freeItem(pool, data, 32);        // a second free changes nothing
    refreshItem(data, 1, 1, 1, 0);   // a free record is not brought back
    EXPECT_EQ(stateOf(data), State(0, 8, 5, 0x20, 4096, 333, 444, 31, "data.bin"));
    EXPECT_EQ(data.itemRef(), ref);
    EXPECT_EQ(freeEntries(pool), FreeEntries{freeEntryOf(data)});

    ZLockItem orphan = create(QStringLiteral("orphan.1"), 10, 0, 3);
    pruneItem(pool, orphan);   // keeps its stamp
    EXPECT_EQ(stateOf(orphan), State(0, 10, 5, 0x20, 1234, 111, 222, 3, "orphan.1"));
    EXPECT_EQ(freeEntries(pool), (FreeEntries{freeEntryOf(data), freeEntryOf(orphan)}));
}

TEST_F(StorageItemStore, RenameGivesANewReferenceAndNeverReusesAYoungRun)
{
    ZLockItem old = create(QStringLiteral("draft.txt"), 50, NoNameTimes | NoData, 0);
    const ULONGLONG oldRef = old.itemRef();
    ZItemName n;
    ASSERT_TRUE(makeItemName(QStringLiteral("a much longer final name.txt"), &n));
    const ZItemFields identity{50, 77, 0x21, 999};   // the size is not taken: sizes and times stay
    ZLockItem fresh = replaceItem(pool, old, identity, n, 66);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.itemRef(), oldRef);
    EXPECT_EQ(stateOf(fresh),
              State(InUse | NoNameTimes | NoData, 50, 77, 0x21, 1234, 111, 222, 66, "a much longer final name.txt"));
    EXPECT_EQ(fresh->nameSignature, n.signature);
    // The old reference now reads as free with the same stamp.
    EXPECT_EQ(old.itemRef(), oldRef);
    EXPECT_EQ(stateOf(old), State(0, 50, 5, 0x20, 1234, 111, 222, 66, "draft.txt"));
    EXPECT_FALSE(replaceItem(pool, old, identity, n, 67));   // renaming a free record does nothing

    ZLockItem a = create(QStringLiteral("aaaa"), 1);
    makeItemName(QStringLiteral("bbbb"), &n);
    ZLockItem c = replaceItem(pool, replaceItem(pool, a, ZItemFields{}, n, 2), ZItemFields{}, n, 3);
    EXPECT_NE(c, a);
    clock.advance(kReuseAgeMs);
    ZLockItem d = replaceItem(pool, c, ZItemFields{}, n, 4);
    EXPECT_EQ(d, a);   // the oldest freed run of the size, once old enough
    EXPECT_EQ(d->modifyStamp, 4u);
}

// The first piece's key already taken: the pool, not announced yet, takes
// another name, which its later pieces keep.
TEST_F(StoragePool, ARunThatDoesNotFitMovesToANewPieceAndTheTailIsFreed)
{
    ZSharedPiece squatter(name + QStringLiteral("1"), 1, nullptr);
    ASSERT_TRUE(squatter.init(false, 'C'));
    EXPECT_FALSE(pool.append(0));
    EXPECT_FALSE(pool.allocate(256));
    ASSERT_TRUE(pool.append(2));
    EXPECT_NE(pool.name(), name);
    EXPECT_EQ(pool.piece(1)->key(), pool.name() + QStringLiteral("1"));
    PieceHeader* h = pool.piece(1)->header();
    h->usedSlots = h->slotLimit - 4;   // four slots left
    ZLockItem run = pool.append(7);
    ASSERT_EQ(pool.pieceCount(), 2);
    EXPECT_EQ(pool.piece(2)->key(), pool.name() + QStringLiteral("2"));
    EXPECT_EQ(run.itemRef(), makeItemRef('C', 2, 0));
    EXPECT_EQ(h->usedSlots, h->slotLimit);
    // The four-slot tail is a free run on list 3, stamped a day back.
    const FreeEntries tail{FreeEntry(3, makeItemRef('C', 1, h->slotLimit - 4), 4, 0, clock.now().addDays(-1))};
    EXPECT_EQ(freeEntries(pool), tail);
    // A full last piece goes straight to a new one.
    pool.piece(2)->header()->usedSlots = pool.piece(2)->header()->slotLimit;
    ASSERT_TRUE(pool.append(2));
    EXPECT_EQ(pool.pieceCount(), 3);
    EXPECT_EQ(freeEntries(pool), tail);
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
    EXPECT_TRUE(freeEntries(pool).empty());

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
    FreeEntries freed = freeEntries(pool);
    EXPECT_EQ(freed.size(), 429u);
    for (FreeEntry& e : freed)
        std::get<4>(e) = clock.now().addDays(-1);
    EXPECT_EQ(freeEntries(copy), freed);
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
    // Piece 2's run went with it.
    EXPECT_EQ(freeEntries(copy), FreeEntries{FreeEntry(1, makeItemRef('C', 1, 0), 2, 0, clock.now().addDays(-1))});
    clock.advance(kReuseAgeMs);
    EXPECT_EQ(copy.allocate(3).pieceHeader(), copy.piece(1)->header());
    copy.clear();
    EXPECT_TRUE(freeEntries(copy).empty());
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
    EXPECT_TRUE(freeEntries(pool).empty());
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

