// The record rules of the item store: creating, freeing, pruning, replacing
// on a rename and refreshing in place.
#include "platform/ZClock.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <tuple>

using namespace SearchEngine;

namespace {

class StorageItemStore : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

    ZLockItem create(const QString& text, DWORD recordNumber, BYTE flags = 0, DWORD stamp = 0)
    {
        ZItemName n;
        EXPECT_TRUE(makeItemName(text, &n));
        ZLockItem run = pool.allocate(n.slotCount());
        ZItemFields f;
        f.recordNumber = recordNumber;
        f.parentRecordNumber = 5;
        f.attributes = 0x20;
        f.fileSize = 1234;
        f.changeTime = 111;
        f.accessTime = 222;
        f.nameSignature = n.signature;
        f.flags = flags;
        f.modifyStamp = stamp;
        EXPECT_TRUE(createItem(run, f, n));
        return run;
    }
    // Sizes, times and stamp as one tuple, to compare records in one line.
    static std::tuple<ULONGLONG, ULONGLONG, ULONGLONG, DWORD> sizeTimesStamp(const ZLockItem& i)
    {
        return std::make_tuple(ULONGLONG(i->fileSize), ULONGLONG(i->changeTime), ULONGLONG(i->accessTime),
                               DWORD(i->modifyStamp));
    }

    Platform::ZManualClock clock;
    ZSharedPool pool{QUuid::createUuid().toString(), 'C'};
};

} // namespace

TEST_F(StorageItemStore, CreatingWritesEveryFieldAndRefusesUnfitRuns)
{
    ZLockItem item = create(QStringLiteral("Budget.xlsx"), 42, NoData | 0x80, 7);
    ASSERT_TRUE(item);
    EXPECT_EQ(item.flags(), InUse | NoData);   // only the descriptive bits are taken
    EXPECT_EQ(item->recordNumber, 42u);
    EXPECT_EQ(item->parentRecordNumber, 5u);
    EXPECT_EQ(item->attributes, 0x20u);
    EXPECT_EQ(sizeTimesStamp(item), std::make_tuple(ULONGLONG(1234), ULONGLONG(111), ULONGLONG(222), 7u));
    EXPECT_EQ(item.name(), QByteArray("Budget.xlsx"));
    EXPECT_EQ(item->nameBytes()[11], 0);   // fresh piece: the byte after the name is 0
    EXPECT_EQ(item->nameSignature, nameSignatureOf(QStringLiteral("Budget.xlsx").utf16(), 11));

    ZItemFields f;
    EXPECT_FALSE(createItem(item, f, "again", 5));   // live already
    EXPECT_EQ(item.name(), QByteArray("Budget.xlsx"));
    EXPECT_FALSE(createItem(ZLockItem(), f, "x", 1));
    ZLockItem small = pool.append(2);
    const QByteArray eight("12345678");
    EXPECT_FALSE(createItem(small, f, eight.constData(), eight.size()));   // 56 + 8 + 1 > 64
    EXPECT_EQ(small.flags(), 0);
    EXPECT_TRUE(createItem(small, f, eight.constData(), 7));
}

TEST_F(StorageItemStore, FreeingStampsAndReleasesOncePruningKeepsTheStamp)
{
    ZLockItem item = create(QStringLiteral("gone.tmp"), 9);
    const ULONGLONG ref = item.itemRef();
    freeItem(pool, item, 31);
    EXPECT_EQ(item.flags(), 0);
    EXPECT_EQ(item->modifyStamp, 31u);
    EXPECT_EQ(item->recordNumber, 9u);   // the other bytes stay
    EXPECT_EQ(item.name(), QByteArray("gone.tmp"));
    EXPECT_EQ(item.itemRef(), ref);
    const auto& list = pool.freeList(ZSharedPool::freeListIndex(item.slotCount()));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().releaseTime, clock.now());
    freeItem(pool, item, 32);   // a second free changes nothing
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(item->modifyStamp, 31u);

    ZLockItem orphan = create(QStringLiteral("orphan.1"), 10, 0, 3);
    pruneItem(pool, orphan);
    EXPECT_EQ(orphan.flags(), 0);
    EXPECT_EQ(orphan->modifyStamp, 3u);
    EXPECT_EQ(list.size(), 2u);
}

TEST_F(StorageItemStore, RenameGivesANewReferenceAndNeverReusesAYoungRun)
{
    ZLockItem old = create(QStringLiteral("draft.txt"), 50, NoNameTimes | NoData, 0);
    const ULONGLONG oldRef = old.itemRef();
    ZItemName n;
    ASSERT_TRUE(makeItemName(QStringLiteral("a much longer final name.txt"), &n));
    ZItemFields identity;
    identity.recordNumber = 50;
    identity.parentRecordNumber = 77;
    identity.attributes = 0x21;
    identity.fileSize = 999;   // not taken: sizes and times come from the old record
    ZLockItem fresh = replaceItem(pool, old, identity, n, 66);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.itemRef(), oldRef);
    EXPECT_EQ(fresh.flags(), InUse | NoNameTimes | NoData);
    EXPECT_EQ(fresh->parentRecordNumber, 77u);
    EXPECT_EQ(fresh->attributes, 0x21u);
    EXPECT_EQ(sizeTimesStamp(fresh), std::make_tuple(ULONGLONG(1234), ULONGLONG(111), ULONGLONG(222), 66u));
    EXPECT_EQ(fresh->nameSignature, n.signature);
    EXPECT_EQ(fresh.name(), QByteArray("a much longer final name.txt"));
    // The old reference now reads as free with the same stamp.
    EXPECT_EQ(old.itemRef(), oldRef);
    EXPECT_EQ(old.flags(), 0);
    EXPECT_EQ(old->modifyStamp, 66u);
    EXPECT_EQ(old.name(), QByteArray("draft.txt"));
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

TEST_F(StorageItemStore, RefreshTouchesOnlySizesTimesAndTheirBits)
{
    ZLockItem item = create(QStringLiteral("data.bin"), 8, NoData, 5);
    const ULONGLONG ref = item.itemRef();
    refreshItem(item, 4096, 333, 444, NoNameTimes | InUse | 0x40);
    EXPECT_EQ(item.flags(), InUse | NoNameTimes);
    EXPECT_EQ(sizeTimesStamp(item), std::make_tuple(ULONGLONG(4096), ULONGLONG(333), ULONGLONG(444), 5u));
    EXPECT_EQ(item->recordNumber, 8u);
    EXPECT_EQ(item.name(), QByteArray("data.bin"));
    EXPECT_EQ(item.itemRef(), ref);
    freeItem(pool, item, 6);
    refreshItem(item, 1, 1, 1, 0);   // a free record is not brought back
    EXPECT_EQ(item.flags(), 0);
    EXPECT_EQ(item->fileSize, 4096u);
}
