// Shared pieces: creation and the size fall-back, the header, allocation at
// the end of a piece, walks with slotIndex repair, save and the loader's
// rejection of input that does not fit the segment.
#include "storage/ZItemStore.h"
#include "storage/ZSharedPiece.h"
#include "storage/ZSharedPool.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QSharedMemory>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>
#include <sys/ipc.h>
#include <sys/shm.h>

using namespace SearchEngine;

namespace {

QString freshKey()
{
    return QUuid::createUuid().toString();
}

ZLockItem addItem(ZSharedPool& pool, const QString& name, DWORD recordNumber)
{
    ZItemName n;
    if (!makeItemName(name, &n))
        return ZLockItem();
    ZLockItem run = pool.append(n.slotCount());
    ZItemFields f;
    f.recordNumber = recordNumber;
    f.parentRecordNumber = 5;
    f.nameSignature = n.signature;
    f.modifyStamp = 9;
    createItem(run, f, n);
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

// A saved pool of one piece: count, header, then the runs.
constexpr int kCountBytes = 4;
constexpr int kHeaderAt = kCountBytes;
constexpr int kFirstRunAt = kHeaderAt + int(sizeof(PieceHeader));

template <typename T>
void poke(QByteArray& bytes, int at, T value)
{
    std::memcpy(bytes.data() + at, &value, sizeof value);
}
void pokeBigEndian32(QByteArray& bytes, int at, qint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char((quint32(value) >> (24 - 8 * i)) & 0xFF);
}

// Three live items with a freed one between them, as one saved piece.
QByteArray sampleStream(const QString& name = freshKey())
{
    ZSharedPool pool(name, 'C');
    addItem(pool, QStringLiteral("alpha.txt"), 100);
    ZLockItem gone = addItem(pool, QStringLiteral("beta"), 101);
    addItem(pool, QStringLiteral("a somewhat longer file name.docx"), 102);
    freeItem(pool, gone, 3);
    return savePool(pool);
}

} // namespace

TEST(StoragePiece, CreatedPieceHasItsHeaderAndZeroedSlots)
{
    ZSharedPiece piece(freshKey(), 4, nullptr);
    EXPECT_EQ(piece.header(), nullptr);
    ASSERT_TRUE(piece.init(false, 'C'));
    const PieceHeader* h = piece.header();
    ASSERT_NE(h, nullptr);
    const int size = ZSharedPiece::pieceSize();
    EXPECT_EQ(piece.segmentSize(), size);
    EXPECT_EQ(h->version, 1u);
    EXPECT_EQ(h->drive, DWORD('C'));
    EXPECT_EQ(h->slotOffset, 32u);
    EXPECT_EQ(h->usedSlots, 0u);
    EXPECT_EQ(h->slotSize, 32u);
    EXPECT_EQ(h->dataSize, DWORD(size - 32));
    EXPECT_EQ(h->slotLimit, DWORD(size / 32 - 2));
    EXPECT_EQ(h->pieceNumber, 4);
    EXPECT_EQ(h->reserved, 0);
    const char* bytes = reinterpret_cast<const char*>(h);
    for (int i = 32; i < size; i += 4093)
        ASSERT_EQ(bytes[i], 0) << i;

    // Another process reaches the same segment by the same key.
    QSharedMemory other(piece.key());
    ASSERT_TRUE(other.attach(QSharedMemory::ReadOnly));
    EXPECT_EQ(std::memcmp(other.constData(), h, sizeof(PieceHeader)), 0);
    other.detach();

    piece.release();
    EXPECT_EQ(piece.header(), nullptr);
    EXPECT_FALSE(piece.allocate(2));
}

TEST(StoragePiece, AttachOnlyNeedsAnExistingWellFormedSegment)
{
    const QString key = freshKey();
    ZSharedPiece reader(key, 1, nullptr);
    EXPECT_FALSE(reader.init(true, 'C'));

    ZSharedPiece writer(key, 1, nullptr);
    ASSERT_TRUE(writer.init(false, 'C'));
    ZSharedPiece attached(key, 1, nullptr);
    ASSERT_TRUE(attached.init(true, 'C'));
    EXPECT_EQ(attached.header()->slotLimit, writer.header()->slotLimit);

    // A segment made by someone else without our header is refused.
    // (A fresh key can clash with a stranger's ftok key; try a few.)
    QSharedMemory foreign;
    for (int i = 0; i < 5 && !foreign.isAttached(); ++i) {
        foreign.setKey(freshKey());
        foreign.create(4096);
    }
    ASSERT_TRUE(foreign.isAttached());
    ZSharedPiece stranger(foreign.key(), 1, nullptr);
    EXPECT_FALSE(stranger.init(true, 'C'));
}

TEST(StoragePiece, AllocationStopsAtTheSlotLimit)
{
    ZSharedPiece piece(freshKey(), 1, nullptr);
    ASSERT_TRUE(piece.init(false, 'C'));
    PieceHeader* h = piece.header();
    EXPECT_FALSE(piece.allocate(0));
    EXPECT_FALSE(piece.allocate(256));

    ZLockItem first = piece.allocate(3);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->slotIndex, 0u);
    EXPECT_EQ(first.slotCount(), 3);
    EXPECT_EQ(first.flags(), 0);
    EXPECT_EQ(h->usedSlots, 3u);

    // Leave five slots, then ask for eight: exactly the five come back.
    h->usedSlots = h->slotLimit - 5;
    ZLockItem tail = piece.allocate(8);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail.slotCount(), 5);
    EXPECT_EQ(tail->slotIndex, h->slotLimit - 5);
    EXPECT_EQ(h->usedSlots, h->slotLimit);
    EXPECT_TRUE(piece.isFull());
    EXPECT_FALSE(piece.allocate(1));
    // The last slot of the segment is never handed out.
    const char* end = reinterpret_cast<const char*>(h) + piece.segmentSize();
    EXPECT_LE(reinterpret_cast<const char*>(tail.record()) + 5 * 32, end - 32);
}

TEST(StoragePiece, WalksVisitLiveRunsAndRepairSlotIndex)
{
    ZSharedPool pool(freshKey(), 'C');
    int visits = 0;
    pool.forEachItem([&](ZLockItem) { return ++visits, true; });
    EXPECT_EQ(visits, 0);
    // A fresh piece saves as its header alone.
    ASSERT_TRUE(pool.appendPiece());
    EXPECT_EQ(savePool(pool).size(), kCountBytes + 32);

    ZLockItem a = addItem(pool, QStringLiteral("one"), 1);
    ZLockItem b = addItem(pool, QStringLiteral("two"), 2);
    ZLockItem c = addItem(pool, QStringLiteral("three"), 3);
    freeItem(pool, b, 1);
    c->slotIndex = 999;
    a->slotIndex = 0xFFFFFFFF;
    QList<DWORD> seen;
    pool.forEachItem([&](ZLockItem item) { return seen.append(item->recordNumber), true; });
    EXPECT_EQ(seen, (QList<DWORD>{1, 3}));
    EXPECT_EQ(a->slotIndex, 0u);
    EXPECT_EQ(c->slotIndex, DWORD(a.slotCount() + b.slotCount()));
    EXPECT_EQ(c.itemRef(), makeItemRef('C', 1, c->slotIndex));
}

TEST(StoragePiece, SaveWritesLiveRunsWholeAndFreeRunsShort)
{
    ZSharedPool pool(freshKey(), 'C');
    addItem(pool, QStringLiteral("alpha.txt"), 100);
    ZLockItem gone = addItem(pool, QStringLiteral("beta"), 101);
    freeItem(pool, gone, 3);
    const QByteArray bytes = savePool(pool);
    QDataStream in(bytes);
    qint32 count = 0, first = 0, second = 0;
    in >> count;
    EXPECT_EQ(count, 1);
    in.skipRawData(32);
    in >> first;
    EXPECT_EQ(first, 57 + 9);
    in.skipRawData(first);
    in >> second;
    EXPECT_EQ(second, 10);
    in.skipRawData(second);
    EXPECT_TRUE(in.atEnd());
}

TEST(StoragePiece, LoadRejectsHeadersThatDoNotFitTheSegment)
{
    const QString name = freshKey();
    const QByteArray good = sampleStream(name);
    {
        ZSharedPool pool(name, 'C');
        ASSERT_TRUE(loadPool(pool, good));
    }
    const int segment = ZSharedPiece::pieceSize();
    struct Case {
        const char* what;
        int offset;
        DWORD value;
    } cases[] = {
        {"version", 0, 2},
        {"drive of another letter", 4, 'D'},
        {"slotOffset", 8, 64},
        {"usedSlots beyond slotLimit", 12, DWORD(segment / 32)},
        {"slotLimit", 16, DWORD(segment / 32)},
        {"slotSize", 20, 16},
        {"dataSize beyond the segment", 24, DWORD(2 * segment - 32)},
        {"dataSize not whole slots", 24, DWORD(segment - 40)},
        {"pieceNumber", 28, 2},
    };
    for (const Case& c : cases) {
        QByteArray bad = good;
        if (c.offset == 28)
            poke<WORD>(bad, kHeaderAt + c.offset, WORD(c.value));
        else
            poke<DWORD>(bad, kHeaderAt + c.offset, c.value);
        ZSharedPool pool(name, 'C');
        EXPECT_FALSE(loadPool(pool, bad)) << c.what;
        EXPECT_EQ(pool.pieceCount(), 0) << c.what;
    }
    // A piece written with smaller pieces loads into a bigger segment.
    QByteArray smaller = good;
    poke<DWORD>(smaller, kHeaderAt + 24, DWORD(segment / 2 - 32));
    poke<DWORD>(smaller, kHeaderAt + 16, DWORD(segment / 64 - 2));
    ZSharedPool pool(name, 'C');
    ASSERT_TRUE(loadPool(pool, smaller));
    EXPECT_EQ(pool.piece(1)->header()->slotLimit, DWORD(segment / 64 - 2));
}

TEST(StoragePiece, LoadRejectsRunsThatDoNotFit)
{
    const QString name = freshKey();
    const QByteArray good = sampleStream(name);
    const int firstLength = kFirstRunAt;           // big-endian length of run 1
    const int firstRun = kFirstRunAt + 4;          // its bytes
    const int secondLength = firstRun + 57 + 9;    // the freed "beta"
    const int secondRun = secondLength + 4;
    ASSERT_EQ(good.mid(firstRun + 56, 9), QByteArray("alpha.txt"));
    ASSERT_EQ(good[secondRun], 0);

    struct Case {
        const char* what;
        std::function<void(QByteArray&)> spoil;
    } cases[] = {
        {"live run with slotCount 0", [&](QByteArray& b) { b[firstRun + 1] = 0; }},
        {"free run with slotCount 0", [&](QByteArray& b) { b[secondRun + 1] = 0; }},
        {"length beyond the run", [&](QByteArray& b) { b[firstRun + 1] = 2; }},
        {"negative length", [&](QByteArray& b) { pokeBigEndian32(b, firstLength, -57); }},
        {"huge length", [&](QByteArray& b) { pokeBigEndian32(b, firstLength, 0x7FFFFFFF); }},
        {"length below a free run", [&](QByteArray& b) { pokeBigEndian32(b, secondLength, 2); }},
        {"name longer than its length", [&](QByteArray& b) { poke<WORD>(b, firstRun + 46, 40); }},
        {"name longer than its run", [&](QByteArray& b) { poke<WORD>(b, firstRun + 46, 0xFFFF); }},
        {"unknown flag bits", [&](QByteArray& b) { b[firstRun] = char(0x81); }},
        {"free run with stray flags", [&](QByteArray& b) { b[secondRun] = 0x02; }},
        {"run past usedSlots", [&](QByteArray& b) { poke<DWORD>(b, kHeaderAt + 12, 4); }},
        {"usedSlots past the runs", [&](QByteArray& b) { poke<DWORD>(b, kHeaderAt + 12, 100); }},
        {"negative piece count", [&](QByteArray& b) { pokeBigEndian32(b, 0, -1); }},
        {"more pieces than references can name", [&](QByteArray& b) { pokeBigEndian32(b, 0, 65536); }},
    };
    for (const Case& c : cases) {
        QByteArray bad = good;
        c.spoil(bad);
        ZSharedPool pool(name, 'C');
        EXPECT_FALSE(loadPool(pool, bad)) << c.what;
        EXPECT_EQ(pool.pieceCount(), 0) << c.what;
        for (int i = 0; i < ZSharedPool::kFreeListCount; ++i)
            EXPECT_TRUE(pool.freeList(i).empty()) << c.what;
    }
}

TEST(StoragePiece, PiecesLoadedBeforeAFailureStayUntilClear)
{
    const QString name = freshKey();
    QByteArray bytes = sampleStream(name);
    pokeBigEndian32(bytes, 0, 2);   // a second piece the stream does not hold
    ZSharedPool pool(name, 'C');
    EXPECT_FALSE(loadPool(pool, bytes));
    ASSERT_EQ(pool.pieceCount(), 1);
    // The free run left on the lists lies in the piece that stays.
    const auto& list = pool.freeList(ZSharedPool::freeListIndex(2));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().run.pieceHeader(), pool.piece(1)->header());
    pool.clear();
    EXPECT_EQ(pool.pieceCount(), 0);
    EXPECT_TRUE(list.empty());
}

TEST(StoragePiece, EveryTruncatedStreamIsRejected)
{
    const QString name = freshKey();
    const QByteArray good = sampleStream(name);
    for (int length = 0; length < good.size(); ++length) {
        ZSharedPool pool(name, 'C');
        EXPECT_FALSE(loadPool(pool, good.left(length))) << length;
        EXPECT_EQ(pool.pieceCount(), 0);
    }
}

TEST(StoragePiece, LoadRepairsSlotIndexAndClearsStamps)
{
    const QString name = freshKey();
    QByteArray bytes = sampleStream(name);
    poke<DWORD>(bytes, kFirstRunAt + 4 + 2, 777);   // first run claims slot 777
    ZSharedPool pool(name, 'C');
    ASSERT_TRUE(loadPool(pool, bytes));
    QList<ZLockItem> live;
    pool.forEachItem([&](ZLockItem item) { return live.append(item), true; });
    ASSERT_EQ(live.size(), 2);
    EXPECT_EQ(live[0]->slotIndex, 0u);
    EXPECT_EQ(live[0]->modifyStamp, 0u);
    EXPECT_EQ(live[1]->modifyStamp, 0u);
    EXPECT_EQ(live[0].name(), QByteArray("alpha.txt"));
}

// The process-wide piece size only ever goes down, so these run in a child.
TEST(StoragePieceDeathTest, RefusedSizesHalveThePieceSizeForEveryPool)
{
    EXPECT_EXIT(
        {
            int failures = 0;
            ZSharedPiece::setCreateGateForTesting([](int size) { return size <= 0x200000; });
            ZSharedPool first(freshKey(), 'C');
            const PieceHeader* h = first.appendPiece() ? first.piece(1)->header() : nullptr;
            failures += !h || h->dataSize != 2097120u || h->slotLimit != 65534u;
            failures += ZSharedPiece::pieceSize() != 0x200000;
            // Nothing refuses 4 MiB any more, yet later pieces stay at 2 MiB.
            ZSharedPiece::setCreateGateForTesting(nullptr);
            ZSharedPool second(freshKey(), 'D');
            failures += !second.appendPiece() || second.piece(1)->segmentSize() != 0x200000;
            failures += !first.appendPiece() || first.piece(2)->header()->dataSize != 2097120u;
            first.clear();
            second.clear();
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StoragePieceDeathTest, VolumeThreadsHalvingAtOnceNeverRaiseTheSize)
{
    EXPECT_EXIT(
        {
            ZSharedPiece::setCreateGateForTesting([](int size) { return size <= 0x100000; });
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([&failures, t] {
                    ZSharedPool pool(freshKey(), WORD('C' + t));
                    for (int i = 1; i <= 3; ++i) {
                        ZSharedPiece* p = pool.appendPiece();
                        if (!p || p->segmentSize() > 0x100000
                            || p->header()->dataSize != DWORD(p->segmentSize()) - 32)
                            ++failures;
                    }
                });
            }
            for (std::thread& t : threads)
                t.join();
            std::exit(failures.load() + (ZSharedPiece::pieceSize() != 0x100000));
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StoragePieceDeathTest, NoSizeAtAllLeavesTheSmallestSize)
{
    EXPECT_EXIT(
        {
            int failures = 0;
            QList<int> tried;
            ZSharedPiece::setCreateGateForTesting([&](int size) { return tried.append(size), false; });
            ZSharedPiece piece(freshKey(), 1, nullptr);
            failures += piece.init(false, 'C');
            failures += tried != (QList<int>{0x400000, 0x200000, 0x100000, 0x80000, 0x40000, 0x20000});
            failures += ZSharedPiece::pieceSize() != 0x20000;
            failures += piece.header() != nullptr;
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}

// ftok() keeps 16 bits of the key file's inode, so a fresh key file can map
// onto a stranger's segment. Strangers here sit on the keys of inodes the
// file system has just freed and is about to hand out again.
TEST(StoragePieceDeathTest, AKeyFileClashingWithAStrangersSegmentIsReplaced)
{
    EXPECT_EXIT(
        {
            constexpr int kStrangers = 4;
            int failures = 0;
            QList<int> strangers;
            QList<key_t> taken;
            for (int i = 0; i < kStrangers; ++i) {
                const QString file = QDir::tempPath() + QStringLiteral("/bait%1").arg(i);
                QFile touch(file);
                failures += !touch.open(QIODevice::WriteOnly);
                touch.close();
                const key_t key = ::ftok(QFile::encodeName(file).constData(), 'Q');
                // Tests running beside this one may hold some of these keys.
                const int id = ::shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
                if (id != -1) {
                    taken.append(key);
                    strangers.append(id);
                }
            }
            for (int i = kStrangers - 1; i >= 0; --i)
                QFile::remove(QDir::tempPath() + QStringLiteral("/bait%1").arg(i));

            ZSharedPiece piece(freshKey(), 1, nullptr);
            failures += !piece.init(false, 'C');
            failures += ZSharedPiece::pieceSize() != 0x400000;
            failures += taken.contains(::ftok(QFile::encodeName(piece.nativeKey()).constData(), 'Q'));
            for (int id : strangers) {
                shmid_ds info{};
                failures += ::shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz != 4096;
                ::shmctl(id, IPC_RMID, nullptr);
            }
            QSharedMemory reader(piece.key());
            failures += !reader.attach(QSharedMemory::ReadOnly)
                || static_cast<const PieceHeader*>(reader.constData())->version != 1;
            reader.detach();
            piece.release();
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StoragePieceDeathTest, AKeyInUseFailsEverySize)
{
    EXPECT_EXIT(
        {
            const QString key = freshKey();
            ZSharedPiece holder(key, 1, nullptr);
            int failures = !holder.init(false, 'C');
            ZSharedPiece clash(key, 1, nullptr);
            failures += clash.init(false, 'C');
            failures += ZSharedPiece::pieceSize() != 0x20000;
            holder.release();
            std::exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}
