// The record rules of the item store: creating, freeing, pruning, replacing
// on a rename and refreshing in place.
#include "win32/ZClock.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <tuple>

using namespace SearchEngine;

namespace {

// flags, recordNumber, parent, attributes, fileSize, changeTime, accessTime, modifyStamp, name
using State = std::tuple<int, DWORD, DWORD, DWORD, ULONGLONG, ULONGLONG, ULONGLONG, DWORD, QByteArray>;

State stateOf(const ZLockItem& i)
{
    return State(i.flags(), i->recordNumber, i->parentRecordNumber, i->attributes, i->fileSize, i->changeTime,
                 i->accessTime, i->modifyStamp, i.name());
}

class StorageItemStore : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

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
    ZSharedPool pool{QUuid::createUuid().toString(), 'C'};
};

} // namespace

TEST_F(StorageItemStore, CreatingWritesEveryFieldAndRefusesUnfitRuns)
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
}

TEST_F(StorageItemStore, RefreshFreeAndPruneTouchOnlyTheirFields)
{
    ZLockItem item = create(QStringLiteral("data.bin"), 8, NoData, 5);
    const ULONGLONG ref = item.itemRef();
    refreshItem(item, 4096, 333, 444, NoNameTimes | InUse | 0x40);   // only sizes, times and their bits
    EXPECT_EQ(stateOf(item), State(InUse | NoNameTimes, 8, 5, 0x20, 4096, 333, 444, 5, "data.bin"));
    freeItem(pool, item, 31);
    freeItem(pool, item, 32);        // a second free changes nothing
    refreshItem(item, 1, 1, 1, 0);   // a free record is not brought back
    EXPECT_EQ(stateOf(item), State(0, 8, 5, 0x20, 4096, 333, 444, 31, "data.bin"));
    EXPECT_EQ(item.itemRef(), ref);
    const auto& list = pool.freeList(ZSharedPool::freeListIndex(item.slotCount()));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().releaseTime, clock.now());

    ZLockItem orphan = create(QStringLiteral("orphan.1"), 10, 0, 3);
    pruneItem(pool, orphan);   // keeps its stamp
    EXPECT_EQ(stateOf(orphan), State(0, 10, 5, 0x20, 1234, 111, 222, 3, "orphan.1"));
    EXPECT_EQ(list.size(), 2u);
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
    clock.advance(ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000);
    ZLockItem d = replaceItem(pool, c, ZItemFields{}, n, 4);
    EXPECT_EQ(d, a);   // the oldest freed run of the size, once old enough
    EXPECT_EQ(d->modifyStamp, 4u);
}
