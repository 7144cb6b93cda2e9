// The drive cache file: byte layout, round trip into a fresh pool, every
// rejection rule of the load, the replacing save, and damaged files.
#include "volume/ZDriveVolume.h"

#include "storage/ZItemStore.h"
#include "storage/ZSharedPiece.h"
#include "storage/ZSharedPool.h"
#include "support/TestEnvironment.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace SearchEngine;

namespace {

constexpr USN kFirstUsn = 1000;
constexpr USN kNextUsn = 5000;
constexpr qint64 kReuseAgeSeconds = 600000;
constexpr qint64 kDaySeconds = 86400;

QString cacheFolder()
{
    return QFile::decodeName(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Orvanta/SearchService");
}

QString cachePath(char16_t letter)
{
    return cacheFolder() + QStringLiteral("/DriveCache%1.dat").arg(QChar(letter));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

template <typename T>
QByteArray bigEndian(T v)
{
    QByteArray b(sizeof(T), 0);
    qToBigEndian(v, b.data());
    return b;
}

struct Item {
    DWORD record, parent;
    QString name;
    ULONGLONG size;
};

class DriveCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform::setClock(&clock);
        QDir(cacheFolder()).removeRecursively();
    }
    void TearDown() override { Platform::setClock(nullptr); }

    std::unique_ptr<ZDriveVolume> makeVolume(char16_t letter = u'C')
    {
        std::unique_ptr<ZDriveVolume> v(new ZDriveVolume(letter));
        v->journalData.FirstUsn = kFirstUsn;
        v->journalData.NextUsn = kNextUsn;
        return v;
    }

    // Appends live items (with a journal stamp, which a load must clear).
    void addItems(ZDriveVolume& v, const std::vector<Item>& items)
    {
        for (const Item& it : items) {
            ZItemName name;
            ASSERT_TRUE(makeItemName(it.name, &name));
            ZLockItem run = v.pool->append(name.slotCount());
            ASSERT_FALSE(run.isNull());
            ZItemFields f;
            f.recordNumber = it.record;
            f.parentRecordNumber = it.parent;
            f.attributes = it.size ? 0x20 : 0x10;
            f.fileSize = it.size;
            f.changeTime = 0x01D0000000000000ull + it.record;
            f.accessTime = 0x01D0000000000001ull + it.record;
            f.nameSignature = name.signature;
            f.modifyStamp = 7;
            ASSERT_TRUE(createItem(run, f, name));
            v.recordMap.emplace(it.record, run.record());
        }
    }

    // Frees the item of a record as a journal deletion does.
    void deleteItem(ZDriveVolume& v, DWORD record)
    {
        auto it = v.recordMap.find(record);
        ASSERT_NE(it, v.recordMap.end());
        freeItem(*v.pool, ZLockItem(it->second), 9);
        v.recordMap.erase(it);
    }

    std::unique_ptr<ZDriveVolume> savedVolume(qint32 totalChanges = 12, int ageDays = 1, USN usn = 3000)
    {
        auto v = makeVolume();
        addItems(*v, {{5, 5, QStringLiteral("."), 0}, {40, 5, QStringLiteral("Windows"), 0},
                      {41, 40, QStringLiteral("notepad.exe"), 12345}, {42, 40, QStringLiteral("gone.txt"), 1},
                      {43, 40, QString::fromUtf8("\xc3\xa9t\xc3\xa9 long name.txt"), 99}});
        deleteItem(*v, 42);
        v->savedUsn = usn;
        v->buildTime = clock.now().addDays(-ageDays);
        v->totalChanges = totalChanges;
        v->saveDriveCache();
        return v;
    }

    // Loads into a fresh volume; the load must leave no half state behind.
    bool loads(std::unique_ptr<ZDriveVolume>* out = nullptr)
    {
        auto v = makeVolume();
        const bool ok = v->loadDriveCache();
        if (!ok) {
            EXPECT_EQ(v->pool->pieceCount(), 0);
            EXPECT_TRUE(v->recordMap.empty());
        }
        if (out)
            *out = std::move(v);
        return ok;
    }

    Platform::ZManualClock clock;
};

} // namespace

// ---- the file ------------------------------------------------------------------

TEST_F(DriveCacheTest, FileLayoutIsByteForByte)
{
    auto v = savedVolume(12, 1, 3000);
    const QByteArray file = readFile(cachePath(u'C'));
    ASSERT_FALSE(file.isEmpty());

    QByteArray head = bigEndian<qint32>(22) + bigEndian<qint64>(3000);
    // buildTime as a Qt 5.15 stream writes it: Julian day, milliseconds of
    // the day, time spec (0: local time).
    const QDateTime built = v->buildTime;
    head += bigEndian<qint64>(built.date().toJulianDay()) + bigEndian<quint32>(quint32(built.time().msecsSinceStartOfDay()))
        + QByteArray(1, char(Qt::LocalTime));
    head += bigEndian<qint32>(12) + bigEndian<qint32>(1);
    ASSERT_GE(file.size(), head.size() + 32);
    EXPECT_EQ(file.left(head.size()).toHex(), head.toHex());

    // The piece: its header as in shared memory, then each run with its length.
    const ZSharedPiece* piece = v->pool->piece(1);
    const PieceHeader* h = piece->header();
    int at = head.size();
    EXPECT_EQ(file.mid(at, 32), QByteArray(reinterpret_cast<const char*>(h), 32));
    at += 32;
    DWORD slot = 0;
    int runs = 0;
    while (slot < h->usedSlots) {
        const auto* r = reinterpret_cast<const ItemRecord*>(reinterpret_cast<const char*>(h) + 32 + 32 * slot);
        const qint32 length = (r->flags & InUse) ? r->nameLength + 57 : 10;
        ASSERT_EQ(file.mid(at, 4), bigEndian<qint32>(length)) << "run at slot " << slot;
        EXPECT_EQ(file.mid(at + 4, length), QByteArray(reinterpret_cast<const char*>(r), length));
        at += 4 + length;
        slot += r->slotCount;
        ++runs;
    }
    EXPECT_EQ(runs, 5);
    EXPECT_EQ(at, file.size());   // no end marker, nothing after the last piece
    EXPECT_FALSE(QFile::exists(cachePath(u'C') + QStringLiteral(".temp")));
}

TEST_F(DriveCacheTest, AnEmptyPoolIsTheFiveFieldsAndLoadsEmpty)
{
    auto v = makeVolume();
    v->savedUsn = kNextUsn;
    v->buildTime = clock.now();
    v->saveDriveCache();
    EXPECT_EQ(readFile(cachePath(u'C')).size(), 4 + 8 + 13 + 4 + 4);
    std::unique_ptr<ZDriveVolume> loaded;
    ASSERT_TRUE(loads(&loaded));
    EXPECT_EQ(loaded->pool->pieceCount(), 0);
    EXPECT_TRUE(loaded->recordMap.empty());
}

TEST_F(DriveCacheTest, ARoundTripRestoresEveryLiveItemWithStampZeroAndTheFreeRuns)
{
    auto saved = savedVolume(12, 1, 3000);
    std::unique_ptr<ZDriveVolume> v;
    ASSERT_TRUE(loads(&v));
    EXPECT_EQ(v->savedUsn, 3000);
    EXPECT_EQ(v->totalChanges, 12);
    EXPECT_EQ(v->buildTime, saved->buildTime);
    ASSERT_EQ(v->recordMap.size(), saved->recordMap.size());
    for (const auto& e : saved->recordMap) {
        auto it = v->recordMap.find(e.first);
        ASSERT_NE(it, v->recordMap.end()) << e.first;
        const ItemRecord* a = e.second;
        const ItemRecord* b = it->second;
        EXPECT_EQ(b->flags, a->flags);
        EXPECT_EQ(b->modifyStamp, 0u);
        EXPECT_EQ(memcmp(a, b, offsetof(ItemRecord, modifyStamp)), 0);
        EXPECT_EQ(b->nameLength, a->nameLength);
        EXPECT_EQ(b->nameSignature, a->nameSignature);
        EXPECT_EQ(QByteArray(b->nameBytes(), b->nameLength), QByteArray(a->nameBytes(), a->nameLength));
        // Same place, so the item reference is the same.
        EXPECT_EQ(ZLockItem(const_cast<ItemRecord*>(b)).itemRef(), ZLockItem(const_cast<ItemRecord*>(a)).itemRef());
    }
    // The freed run (2 slots + 3-slot "gone.txt" run) is on its free list,
    // stamped a day back: reusable 513,600 s from now, not before.
    const int list = ZSharedPool::freeListIndex(3);
    ASSERT_EQ(v->pool->freeList(list).size(), 1u);
    const ItemRecord* freed = v->pool->freeList(list).front().run.record();
    clock.advance(ULONGLONG(kReuseAgeSeconds - kDaySeconds - 1) * 1000);
    ZLockItem fresh = v->pool->allocate(3);
    EXPECT_NE(fresh.record(), freed);
    clock.advance(2000);
    EXPECT_EQ(v->pool->allocate(3).record(), freed);
}

TEST_F(DriveCacheTest, ASaveReplacesTheFileAndALeftoverTempTwin)
{
    savedVolume(1);
    writeFile(cachePath(u'C') + QStringLiteral(".temp"), QByteArray("left by a crash"));
    auto v = savedVolume(2);
    std::unique_ptr<ZDriveVolume> loaded;
    ASSERT_TRUE(loads(&loaded));
    EXPECT_EQ(loaded->totalChanges, 2);
    EXPECT_FALSE(QFile::exists(cachePath(u'C') + QStringLiteral(".temp")));
}

TEST_F(DriveCacheTest, ASaveThatCannotWriteKeepsTheOldFile)
{
    savedVolume(1);
    const QByteArray before = readFile(cachePath(u'C'));
    // The temporary file cannot be opened: a folder stands in its place.
    QDir().mkpath(cachePath(u'C') + QStringLiteral(".temp"));
    savedVolume(2);
    EXPECT_EQ(readFile(cachePath(u'C')), before);
    QDir(cachePath(u'C') + QStringLiteral(".temp")).removeRecursively();

    // The folder cannot be made: a file stands in its place.
    QDir(cacheFolder()).removeRecursively();
    writeFile(cacheFolder(), QByteArray("x"));
    savedVolume(3);
    EXPECT_FALSE(loads());
    QFile::remove(cacheFolder());
}

TEST_F(DriveCacheTest, EachDriveHasItsOwnFile)
{
    auto d = makeVolume(u'D');
    d->buildTime = clock.now();
    d->savedUsn = kNextUsn;
    d->saveDriveCache();
    EXPECT_TRUE(QFile::exists(cachePath(u'D')));
    EXPECT_FALSE(QFile::exists(cachePath(u'C')));
    EXPECT_FALSE(loads());
}

// ---- rejections -------------------------------------------------------------------

TEST_F(DriveCacheTest, OnlyVersion22IsReadAndNothingAfterTheUsnIsReadOtherwise)
{
    for (qint32 version : {21, 23, 0, -1}) {
        // Nothing after the USN: a reader that went on would fail differently.
        writeFile(cachePath(u'C'), bigEndian<qint32>(version) + bigEndian<qint64>(3000));
        auto v = makeVolume();
        EXPECT_FALSE(v->loadDriveCache()) << version;
        EXPECT_EQ(v->pool->pieceCount(), 0);
        EXPECT_FALSE(v->buildTime.isValid());
    }
}

TEST_F(DriveCacheTest, TheStoredUsnMustLieInsideTheJournal)
{
    const std::pair<USN, bool> rows[] = {{kFirstUsn - 1, false}, {kFirstUsn, true}, {kNextUsn, true},
                                         {kNextUsn + 1, false}, {-1, false}};
    for (const auto& r : rows) {
        savedVolume(0, 0, r.first);
        EXPECT_EQ(loads(), r.second) << r.first;
    }
}

TEST_F(DriveCacheTest, StaleIndexesAreRejected)
{
    struct Row {
        qint32 changes;
        int days;
        bool accepted;
    };
    const Row rows[] = {
        {19999, 29, true}, {20000, 2, true},  {20000, 3, false}, {0, 29, true},     {0, 30, false},
        {99999, 0, true},  {100000, 0, false}, {0, 0, true},     {0, -1, false},     // built "tomorrow"
        {-1, 0, false},    // a negative count cannot be trusted either
    };
    for (const Row& r : rows) {
        savedVolume(r.changes, r.days);
        EXPECT_EQ(loads(), r.accepted) << r.changes << " changes, " << r.days << " days";
    }
}

TEST_F(DriveCacheTest, AnInvalidBuildTimeIsRejected)
{
    auto v = makeVolume();
    v->savedUsn = 3000;
    v->saveDriveCache();   // buildTime never set
    EXPECT_FALSE(loads());
}

TEST_F(DriveCacheTest, AMissingFileIsNoCache)
{
    EXPECT_FALSE(loads());
}

// ---- damaged files -------------------------------------------------------------------

TEST_F(DriveCacheTest, EveryTruncationIsRejectedAndLeavesAnEmptyPool)
{
    savedVolume();
    const QByteArray whole = readFile(cachePath(u'C'));
    for (int n = 0; n < whole.size(); ++n) {
        writeFile(cachePath(u'C'), whole.left(n));
        EXPECT_FALSE(loads()) << "cut at " << n;
    }
    writeFile(cachePath(u'C'), whole);
    EXPECT_TRUE(loads());
}

TEST_F(DriveCacheTest, TrailingBytesAreRejected)
{
    savedVolume();
    writeFile(cachePath(u'C'), readFile(cachePath(u'C')) + QByteArray(1, '\0'));
    EXPECT_FALSE(loads());
}

TEST_F(DriveCacheTest, FlippedBitsNeverCrashAndAnAcceptedFileGivesLiveItems)
{
    savedVolume();
    const QByteArray whole = readFile(cachePath(u'C'));
    std::mt19937 random(20260301);
    const int kTrials = 300;
    int accepted = 0;
    for (int k = 0; k < kTrials; ++k) {
        QByteArray bad = whole;
        const int flips = 1 + int(random() % 3);
        for (int f = 0; f < flips; ++f)
            bad.data()[random() % bad.size()] ^= char(1 << (random() % 8));
        writeFile(cachePath(u'C'), bad);
        std::unique_ptr<ZDriveVolume> v;
        if (loads(&v)) {
            ++accepted;
            for (const auto& e : v->recordMap) {
                EXPECT_TRUE(e.second->flags & InUse);
                EXPECT_EQ(e.second->recordNumber, e.first);
                EXPECT_EQ(e.second->modifyStamp, 0u);
            }
        }
    }
    // Flips in names, sizes and times still load; most others do not.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, kTrials);
}

TEST_F(DriveCacheTest, HostileCountsAndLengthsAreRejected)
{
    savedVolume();
    const QByteArray whole = readFile(cachePath(u'C'));
    const int pieceCountAt = 4 + 8 + 13 + 4;
    const int headerAt = pieceCountAt + 4;
    const int firstRunAt = headerAt + 32;
    auto patched = [&](int at, const QByteArray& bytes) {
        QByteArray b = whole;
        b.replace(at, bytes.size(), bytes);
        return b;
    };
    auto le32 = [](DWORD v) {
        QByteArray b(4, 0);
        qToLittleEndian(v, b.data());
        return b;
    };
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"piece count 65,535", patched(pieceCountAt, bigEndian<qint32>(65535))},
        {"piece count 2", patched(pieceCountAt, bigEndian<qint32>(2))},
        {"negative piece count", patched(pieceCountAt, bigEndian<qint32>(-1))},
        {"usedSlots past the segment", patched(headerAt + 12, le32(0x7FFFFFFF))},
        {"slotLimit past the segment", patched(headerAt + 16, le32(0x7FFFFFFF))},
        {"dataSize past the segment", patched(headerAt + 24, le32(0x10000000))},
        {"slotSize 1", patched(headerAt + 20, le32(1))},
        {"slotOffset 0", patched(headerAt + 8, le32(0))},
        {"run length negative", patched(firstRunAt, bigEndian<qint32>(-5))},
        {"run length huge", patched(firstRunAt, bigEndian<qint32>(0x7FFFFFFF))},
        {"run longer than its slots", patched(firstRunAt, bigEndian<qint32>(2 * 32 + 1))},
        {"slotCount 0", patched(firstRunAt + 4 + 1, QByteArray(1, '\0'))},
    };
    for (const auto& c : cases) {
        writeFile(cachePath(u'C'), c.second);
        EXPECT_FALSE(loads()) << c.first;
    }
}

// A file written with 4 MiB pieces, read by a process that could only make
// 2 MiB pieces: its headers do not fit, so it is rejected and the drive is
// rebuilt. Run in a child process: the piece size never grows back.
TEST_F(DriveCacheTest, AFileFromLargerPiecesIsRejectedBySmallerPieces)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    savedVolume();
    ASSERT_EQ(ZSharedPiece::pieceSize(), 0x400000);
    EXPECT_EXIT(
        {
            ZSharedPiece::setCreateGateForTesting([](int size) { return size <= 0x200000; });
            auto v = makeVolume();
            const bool ok = v->loadDriveCache();
            fprintf(stderr, "loaded %d pieces %d size %d\n", int(ok), v->pool->pieceCount(), ZSharedPiece::pieceSize());
            exit(!ok && v->pool->pieceCount() == 0 && ZSharedPiece::pieceSize() == 0x200000 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "loaded 0 pieces 0 size 2097152");
}
