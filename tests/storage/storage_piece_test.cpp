// Shared pieces: creation and the size fall-back, allocation at the end of a
// piece, walks with slotIndex repair, save and the loader's rejection of
// input that does not fit the segment.
#include "storage/storage_probe_names.h"

#include <QFile>
#include <QUuid>
#include <QtEndian>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace SearchEngine;
using namespace StorageProbe;

namespace {

QString freshKey() { return QUuid::createUuid().toString(); }

// A saved pool of one piece: count, header, then the runs.
constexpr int kHeaderAt = 4;
constexpr int kFirstRunAt = kHeaderAt + int(sizeof(PieceHeader));

template <typename T>
void poke(QByteArray& bytes, int at, T value) { std::memcpy(bytes.data() + at, &value, sizeof value); }
void pokeBigEndian32(QByteArray& bytes, int at, qint32 value) { qToBigEndian(value, bytes.data() + at); }

// Three live items with a freed one between them, as one saved piece.
QByteArray sampleStream(const QString& name)
{
    ZSharedPool pool(name, 'C');
    addItem(pool, QStringLiteral("alpha.txt"), 100, false, 9);
    ZLockItem gone = addItem(pool, QStringLiteral("beta"), 101, false, 9);
    addItem(pool, QStringLiteral("a somewhat longer file name.docx"), 102, false, 9);
    freeItem(pool, gone, 3);
    return savePool(pool);
}

// Runs body in a child process, since the process-wide piece size only goes down.
void inChild(const std::function<int()>& body) { EXPECT_EXIT(std::exit(body()), ::testing::ExitedWithCode(0), ""); }

} // namespace

TEST(StoragePiece, CreateAttachAndAllocateUpToTheSlotLimit)
{
    const QString key = freshKey();
    ZSharedPiece piece(key, 4, nullptr);
    EXPECT_FALSE(ZSharedPiece(key, 4, nullptr).init(true, 'C'));   // nothing to attach yet
    ASSERT_TRUE(piece.init(false, 'C'));
    PieceHeader* h = piece.header();
    const int size = ZSharedPiece::pieceSize();
    const PieceHeader expected{1, 'C', 32, 0, DWORD(size / 32 - 2), 32, DWORD(size - 32), 4, 0};
    EXPECT_EQ(std::memcmp(h, &expected, sizeof expected), 0);
    for (int i = 32; i < size; i += 4093)
        ASSERT_EQ(reinterpret_cast<const char*>(h)[i], 0) << i;
    ZSharedPiece attached(key, 4, nullptr);
    ASSERT_TRUE(attached.init(true, 'C'));
    EXPECT_EQ(std::memcmp(attached.header(), h, sizeof expected), 0);

    // A segment under the key without our header is refused.
    ZSharedSegment foreign(freshKey());
    ASSERT_TRUE(foreign.create(4096));
    EXPECT_FALSE(ZSharedPiece(foreign.key(), 1, nullptr).init(true, 'C'));

    EXPECT_FALSE(piece.allocate(0));
    EXPECT_FALSE(piece.allocate(256));
    ZLockItem first = piece.allocate(3);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->slotIndex, 0u);
    EXPECT_EQ(h->usedSlots, 3u);
    // Leave five slots, then ask for eight: exactly the five come back, and
    // the last slot of the segment is never handed out.
    h->usedSlots = h->slotLimit - 5;
    ZLockItem tail = piece.allocate(8);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail.slotCount(), 5);
    EXPECT_EQ(tail->slotIndex, h->slotLimit - 5);
    EXPECT_TRUE(piece.isFull());
    EXPECT_FALSE(piece.allocate(1));
    const char* end = reinterpret_cast<const char*>(h) + piece.segmentSize();
    EXPECT_LE(reinterpret_cast<const char*>(tail.record()) + 5 * 32, end - 32);
    piece.release();
    EXPECT_EQ(piece.header(), nullptr);
    EXPECT_FALSE(piece.allocate(2));
}

TEST(StoragePiece, WalksRepairSlotIndexAndSaveWritesFreeRunsShort)
{
    ZSharedPool pool(freshKey(), 'C');
    ASSERT_TRUE(pool.appendPiece());
    ZLockItem a = addItem(pool, QStringLiteral("alpha.txt"), 1);
    ZLockItem b = addItem(pool, QStringLiteral("beta"), 2);
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
    // Each run behind a 4-byte length: a live one whole (56 + name + 1), a free one as its first 10 bytes.
    EXPECT_EQ(savePool(pool).size(), 4 + 32 + (4 + 57 + 9) + (4 + 10) + (4 + 57 + 5));
}

TEST(StoragePiece, LoadRejectsEveryInputThatDoesNotFitAndTakesSmallerPieces)
{
    const QString name = freshKey();
    const QByteArray good = sampleStream(name);
    const int segment = ZSharedPiece::pieceSize();
    const int firstRun = kFirstRunAt + 4;
    const int secondLength = firstRun + 57 + 9;   // the freed "beta"
    const int secondRun = secondLength + 4;
    ASSERT_EQ(good.mid(firstRun + 56, 9), QByteArray("alpha.txt"));
    ASSERT_EQ(good[secondRun], 0);
    auto header = [](int offset, DWORD value) {
        return [=](QByteArray& b) { poke<DWORD>(b, kHeaderAt + offset, value); };
    };
    // A data size with the slot limit it implies, so that only the size itself is wrong.
    auto geometry = [](DWORD dataSize) {
        return [=](QByteArray& b) {
            poke<DWORD>(b, kHeaderAt + 24, dataSize);
            poke<DWORD>(b, kHeaderAt + 16, slotLimitForDataSize(dataSize));
        };
    };
    const struct {
        const char* what;
        std::function<void(QByteArray&)> spoil;
    } cases[] = {
        {"version", header(0, 2)},
        {"drive of another letter", header(4, 'D')},
        {"slotOffset", header(8, 64)},
        {"usedSlots beyond slotLimit", geometry(8 * 32)},   // the eight slots used, a limit of seven
        {"slotLimit", header(16, DWORD(segment / 32))},
        {"slotSize", header(20, 16)},
        {"dataSize beyond the segment", geometry(DWORD(2 * segment - 32))},
        {"dataSize not whole slots", geometry(DWORD(segment - 40))},
        {"dataSize of no slot, whose limit wraps", geometry(0)},
        {"pieceNumber", [](QByteArray& b) { poke<WORD>(b, kHeaderAt + 28, 2); }},
        {"run past usedSlots", header(12, 4)},
        {"usedSlots past the runs", header(12, 100)},
        {"live run with slotCount 0", [&](QByteArray& b) { b[firstRun + 1] = 0; }},
        {"free run with slotCount 0", [&](QByteArray& b) { b[secondRun + 1] = 0; }},
        {"length beyond the run", [&](QByteArray& b) { b[firstRun + 1] = 2; }},
        {"negative length", [&](QByteArray& b) { pokeBigEndian32(b, kFirstRunAt, -57); }},
        {"huge length", [&](QByteArray& b) { pokeBigEndian32(b, kFirstRunAt, 0x7FFFFFFF); }},
        {"length below a free run", [&](QByteArray& b) { pokeBigEndian32(b, secondLength, 2); }},
        {"name longer than its length", [&](QByteArray& b) { poke<WORD>(b, firstRun + 46, 40); }},
        {"name longer than its run", [&](QByteArray& b) { poke<WORD>(b, firstRun + 46, 0xFFFF); }},
        {"unknown flag bits", [&](QByteArray& b) { b[firstRun] = char(0x81); }},
        {"free run with stray flags", [&](QByteArray& b) { b[secondRun] = 0x02; }},
        {"negative piece count", [](QByteArray& b) { pokeBigEndian32(b, 0, -1); }},
        {"more pieces than references can name", [](QByteArray& b) { pokeBigEndian32(b, 0, 65536); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray bad = good;
        c.spoil(bad);
        ZSharedPool pool(name, 'C');
        EXPECT_FALSE(loadPool(pool, bad));
        EXPECT_EQ(pool.pieceCount(), 0);
        EXPECT_TRUE(freeEntries(pool).empty());
    }
    for (int length = 0; length < good.size(); ++length) {
        ZSharedPool pool(name, 'C');
        EXPECT_FALSE(loadPool(pool, good.left(length))) << length;
        EXPECT_EQ(pool.pieceCount(), 0);
        EXPECT_TRUE(freeEntries(pool).empty()) << length;
    }

    // Pieces written smaller load as they were; a wrong slotIndex is mended and stamps start at 0.
    QByteArray small = good;
    geometry(DWORD(segment / 2 - 32))(small);
    poke<DWORD>(small, firstRun + 2, 777);
    ZSharedPool pool(name, 'C');
    ASSERT_TRUE(loadPool(pool, small));
    EXPECT_EQ(pool.piece(1)->header()->slotLimit, DWORD(segment / 64 - 2));
    QList<ZLockItem> live;
    pool.forEachItem([&](ZLockItem item) { return live.append(item), true; });
    ASSERT_EQ(live.size(), 2);
    EXPECT_EQ(live[0]->slotIndex, 0u);
    EXPECT_EQ(live[0].name(), QByteArray("alpha.txt"));
    EXPECT_EQ(live[0]->modifyStamp + live[1]->modifyStamp, 0u);
}

// Refused sizes halve the piece size for every pool, and threads halving at
// once never raise it.
TEST(StoragePieceDeathTest, ThePieceSizeOnlyGoesDown)
{
    inChild([] {
        ZSharedPiece::setCreateGateForTesting([](int size) { return size <= 0x200000; });
        ZSharedPool first(freshKey(), 'C');
        const PieceHeader* h = first.appendPiece() ? first.piece(1)->header() : nullptr;
        int failures = !h || h->dataSize != 2097120u || h->slotLimit != 65534u;
        // Nothing refuses 4 MiB any more, yet later pieces stay at 2 MiB.
        ZSharedPiece::setCreateGateForTesting(nullptr);
        ZSharedPool second(freshKey(), 'D');
        failures += !second.appendPiece() || second.piece(1)->segmentSize() != 0x200000;
        failures += !first.appendPiece() || first.piece(2)->header()->dataSize != 2097120u;

        ZSharedPiece::setCreateGateForTesting([](int size) { return size <= 0x100000; });
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&wrong, t] {
                ZSharedPool pool(freshKey(), WORD('E' + t));
                for (int i = 1; i <= 3; ++i) {
                    ZSharedPiece* p = pool.appendPiece();
                    wrong += !p || p->segmentSize() > 0x100000 || p->header()->dataSize != DWORD(p->segmentSize()) - 32;
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        failures += wrong.load() + (ZSharedPiece::pieceSize() != 0x100000);
        first.clear();
        second.clear();
        return failures;
    });
}

// ftok() keeps 16 bits of the key file's inode, so a fresh key file can map
// onto a stranger's segment. Strangers here sit on the keys of inodes the
// file system has just freed and is about to hand out again.
TEST(StoragePieceDeathTest, AKeyFileClashingWithAStrangersSegmentIsReplaced)
{
    inChild([] {
        int failures = !ensureSegmentKeyFolder();
        QList<int> strangers;
        QList<key_t> taken;
        QStringList baits;
        for (int i = 0; i < 4; ++i) {
            baits.append(segmentKeyFolder(geteuid()) + QStringLiteral("/bait%1").arg(i));
            QFile touch(baits.last());
            failures += !touch.open(QIODevice::WriteOnly);
            touch.close();
            const key_t key = ::ftok(QFile::encodeName(baits.last()).constData(), 'Q');
            // Tests running beside this one may hold some of these keys.
            const int id = ::shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
            if (id != -1)
                taken.append(key), strangers.append(id);
        }
        while (!baits.isEmpty())
            QFile::remove(baits.takeLast());

        ZSharedPiece piece(freshKey(), 1, nullptr);
        failures += !piece.init(false, 'C') || ZSharedPiece::pieceSize() != 0x400000;
        failures += taken.contains(::ftok(QFile::encodeName(piece.nativeKey()).constData(), 'Q'));
        for (int id : strangers) {
            shmid_ds info{};
            failures += ::shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz != 4096;
            ::shmctl(id, IPC_RMID, nullptr);
        }
        ZSharedSegment reader(piece.key());
        failures += !reader.attach(SegmentOwner{geteuid(), getpid()})
            || static_cast<const PieceHeader*>(reader.data())->version != 1;
        reader.detach();
        piece.release();
        return failures;
    });
}
