// The drive cache file: byte layout, round trip into a fresh pool, every
// rejection rule of the load, the replacing save, damaged files, and the
// removal of the caches of departed drives.
#include "volume/ZDriveVolume.h"

#include "platform/ZDriveTable.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPiece.h"
#include "storage/ZSharedPool.h"
#include "support/TestEnvironment.h"
#include "support/ZDriveCacheFile.h"
#include "support/ZOtherUser.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>
#include <xxhash.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <random>

using namespace SearchEngine;

namespace {

constexpr USN kFirstUsn = 1000;
constexpr USN kNextUsn = 5000;
// Version, checksum, USN, build time (Julian day, milliseconds, local or UTC byte), change count, piece count.
constexpr int kBodyAt = 4 + 8;
constexpr int kPieceCountAt = kBodyAt + 8 + 13 + 4;
constexpr int kFieldsSize = kPieceCountAt + 4;
constexpr int kPieceHeaderSize = 32;
constexpr int kSlotBytes = 32;
constexpr int kNoBuildTime = INT_MIN;   // an age that leaves the build time unset

QString cacheFolder() { return TestSupport::driveCacheFolder(); }
QString cachePath(char16_t letter = u'C') { return TestSupport::driveCachePath(letter); }

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

QByteArray bytesOf(const void* p, int size) { return QByteArray(static_cast<const char*>(p), size); }
template <typename T>
QByteArray bigEndian(T v) { return v = qToBigEndian(v), bytesOf(&v, sizeof v); }
QByteArray le32(DWORD v) { return v = qToLittleEndian(v), bytesOf(&v, sizeof v); }

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

    // Five items with a journal stamp (which a load must clear), one of
    // them then freed as a journal deletion does, saved to the cache file.
    std::unique_ptr<ZDriveVolume> savedVolume(qint32 totalChanges = 12, int ageDays = 1, USN usn = 3000)
    {
        auto v = makeVolume();
        const struct {
            DWORD record, parent;
            const char* name;
            ULONGLONG size;
        } items[] = {{5, 5, ".", 0}, {40, 5, "Windows", 0}, {41, 40, "notepad.exe", 12345}, {42, 40, "gone.txt", 1},
                     {43, 40, "\xc3\xa9t\xc3\xa9 long name.txt", 99}};
        for (const auto& it : items) {
            ZItemName name;
            EXPECT_TRUE(makeItemName(QString::fromUtf8(it.name), &name));
            ZLockItem run = v->pool->append(name.slotCount());
            const ULONGLONG time = 0x01D0000000000000ull + it.record;
            const DWORD attributes = it.size ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_DIRECTORY;
            const ZItemFields f{it.record, it.parent, attributes, it.size, time, time + 1, name.signature, 0, 7};
            EXPECT_TRUE(!run.isNull() && createItem(run, f, name));
            v->recordMap.emplace(it.record, run.record());
        }
        auto gone = v->recordMap.find(42);
        freeItem(*v->pool, ZLockItem(gone->second), 9);
        v->recordMap.erase(gone);
        v->savedUsn = usn;
        v->buildTime = ageDays == kNoBuildTime ? QDateTime() : clock.now().addDays(-ageDays);
        v->totalChanges = totalChanges;
        v->saveDriveCache();
        return v;
    }

    // Loads into a fresh volume; a refused load must leave no half state behind.
    bool loads(std::unique_ptr<ZDriveVolume>* out = nullptr, char16_t letter = u'C')
    {
        auto v = makeVolume(letter);
        const bool ok = v->loadDriveCache();
        if (!ok) {
            EXPECT_EQ(v->pool->pieceCount(), 0);
            EXPECT_TRUE(v->recordMap.empty());
        }
        if (out)
            *out = std::move(v);
        return ok;
    }

    // The same bytes in the same place (so the same item reference), but stamp 0.
    static void expectSameItems(const ZDriveVolume& saved, const ZDriveVolume& loaded)
    {
        ASSERT_EQ(loaded.recordMap.size(), saved.recordMap.size());
        for (const auto& e : saved.recordMap) {
            auto it = loaded.recordMap.find(e.first);
            ASSERT_NE(it, loaded.recordMap.end()) << e.first;
            QByteArray want = bytesOf(e.second, sizeof(ItemRecord) + e.second->nameLength);
            want.replace(int(offsetof(ItemRecord, modifyStamp)), sizeof(DWORD), QByteArray(sizeof(DWORD), '\0'));
            EXPECT_EQ(bytesOf(it->second, want.size()).toHex(), want.toHex());
            EXPECT_EQ(ZLockItem(it->second).itemRef(), ZLockItem(e.second).itemRef());
        }
    }

    Platform::ZManualClock clock;
};

} // namespace

TEST_F(DriveCacheTest, ASavedFileIsByteForByteAndLoadsBackWhole)
{
    // An empty pool: the fields alone, in the drive's own file.
    auto d = makeVolume(u'D');
    d->buildTime = clock.now();
    d->savedUsn = kNextUsn;
    d->saveDriveCache();
    EXPECT_EQ(readFile(cachePath(u'D')).size(), kFieldsSize);
    EXPECT_FALSE(loads());
    std::unique_ptr<ZDriveVolume> v;
    ASSERT_TRUE(loads(&v, u'D'));

    auto saved = savedVolume(12, 1, 3000);
    const QByteArray file = readFile(cachePath());
    // buildTime as a Qt 5.15 stream writes it: Julian day, milliseconds of
    // the day, time spec (0: local time).
    const QDateTime built = saved->buildTime;
    const quint64 checksum = XXH3_64bits(file.constData() + kBodyAt, size_t(file.size() - kBodyAt));
    const QByteArray head = bigEndian<qint32>(23) + bigEndian<quint64>(checksum) + bigEndian<qint64>(3000) + bigEndian<qint64>(built.date().toJulianDay())
        + bigEndian<quint32>(quint32(built.time().msecsSinceStartOfDay())) + QByteArray(1, char(Qt::LocalTime))
        + bigEndian<qint32>(12) + bigEndian<qint32>(1);
    ASSERT_GE(file.size(), kFieldsSize + kPieceHeaderSize);
    EXPECT_EQ(file.left(kFieldsSize).toHex(), head.toHex());

    // The piece: its header as in shared memory, then each run with its length.
    const PieceHeader* h = saved->pool->piece(1)->header();
    const char* firstSlot = reinterpret_cast<const char*>(h) + kPieceHeaderSize;
    EXPECT_EQ(file.mid(kFieldsSize, kPieceHeaderSize), bytesOf(h, kPieceHeaderSize));
    int at = kFieldsSize + kPieceHeaderSize, runs = 0;
    for (DWORD slot = 0; slot < h->usedSlots; ++runs) {
        const auto* r = reinterpret_cast<const ItemRecord*>(firstSlot + kSlotBytes * slot);
        const qint32 length = (r->flags & InUse) ? r->nameLength + 57 : 10;
        ASSERT_EQ(file.mid(at, 4), bigEndian<qint32>(length)) << "run at slot " << slot;
        EXPECT_EQ(file.mid(at + 4, length), bytesOf(r, length));
        at += 4 + length;
        slot += r->slotCount;
    }
    EXPECT_EQ(std::make_pair(runs, at), std::make_pair(5, file.size()));   // no end marker, nothing after the last piece
    EXPECT_FALSE(QFile::exists(cachePath() + QStringLiteral(".temp")));

    ASSERT_TRUE(loads(&v));
    EXPECT_EQ(std::make_tuple(v->savedUsn, v->totalChanges, v->buildTime), std::make_tuple(USN(3000), 12, saved->buildTime));
    expectSameItems(*saved, *v);
    // The freed run (the 3-slot "gone.txt" run) is on its free list, stamped
    // a day back (the reuse age itself is the pool's, tested in tests/storage).
    const auto& freed = v->pool->freeList(ZSharedPool::freeListIndex(3));
    ASSERT_EQ(freed.size(), 1u);
    EXPECT_EQ(freed.front().releaseTime, clock.now().addDays(-1));
}

TEST_F(DriveCacheTest, ASaveReplacesTheFileAndItsTempTwinOrKeepsTheOldFileWhenItCannotWrite)
{
    const QString temp = cachePath() + QStringLiteral(".temp");
    savedVolume(1);
    writeFile(temp, QByteArray("left by a crash"));
    savedVolume(2);
    std::unique_ptr<ZDriveVolume> loaded;
    ASSERT_TRUE(loads(&loaded));
    EXPECT_EQ(loaded->totalChanges, 2);
    EXPECT_FALSE(QFile::exists(temp));

    // The temporary file cannot be opened: a folder stands in its place.
    const QByteArray before = readFile(cachePath());
    QDir().mkpath(temp);
    savedVolume(3);
    EXPECT_EQ(readFile(cachePath()), before);

    // The folder cannot be made: a file stands in its place.
    QDir(cacheFolder()).removeRecursively();
    writeFile(cacheFolder(), QByteArray("x"));
    savedVolume(4);
    EXPECT_FALSE(loads());
    QFile::remove(cacheFolder());
}

TEST_F(DriveCacheTest, OnlyAFreshIndexOfThisJournalInVersion23IsLoaded)
{
    EXPECT_FALSE(loads());   // no file (another version is a row of the damaged files' test)
    // The stored USN must lie inside the journal; stale: too many changes for
    // the age, too old, built "tomorrow" or never, a negative count.
    const struct {
        USN usn;
        qint32 changes;
        int days;
        bool accepted;
    } cases[] = {
        {kFirstUsn - 1, 0, 0, false}, {kFirstUsn, 0, 0, true}, {kNextUsn, 0, 0, true}, {kNextUsn + 1, 0, 0, false},
        {-1, 0, 0, false},            {3000, 19999, 29, true}, {3000, 20000, 2, true}, {3000, 20000, 3, false},
        {3000, 0, 29, true},          {3000, 0, 30, false},    {3000, 99999, 0, true}, {3000, 100000, 0, false},
        {3000, 0, -1, false},         {3000, -1, 0, false},    {3000, 0, kNoBuildTime, false},
    };
    for (const auto& c : cases) {
        savedVolume(c.changes, c.days, c.usn);
        EXPECT_EQ(loads(), c.accepted) << "USN " << c.usn << ", " << c.changes << " changes, " << c.days << " days";
    }
}

// Every damage a file can take is refused, never loaded wrong: cut at every length, every single bit
// flipped, and (resealed, so that the checks behind the checksum see them) hostile counts and random
// flips, which may load only as live items.
TEST_F(DriveCacheTest, DamagedFilesAreRefusedOrLoadOnlyLiveItems)
{
    savedVolume();
    const QByteArray whole = readFile(cachePath());
    const auto sealed = [](QByteArray image) {
        EXPECT_TRUE(ZDriveVolume::sealDriveCacheImage(image));
        return image;
    };
    // Refused: before the body is read; resealed: after it. A file as saved loads exactly (the round trip test).
    enum Outcome { Refused, Resealed, RefusedOrLive };
    struct Case {
        QString what;
        QByteArray bytes;
        Outcome outcome;
    };
    std::vector<Case> cases;
    // Another version, among them the whole file of version 22 (no checksum).
    for (qint32 version : {22, 21, 24, 0, -1})
        cases.push_back({QStringLiteral("version %1").arg(version), bigEndian<qint32>(version) + whole.mid(kBodyAt), Refused});
    for (int n = 0; n < whole.size(); ++n)
        cases.push_back({QStringLiteral("cut at %1").arg(n), whole.left(n), Refused});
    for (int bit = 0; bit < whole.size() * 8; ++bit) {
        QByteArray bad = whole;
        bad.data()[bit / 8] ^= char(1 << (bit % 8));
        cases.push_back({QStringLiteral("bit %1 flipped").arg(bit), bad, Refused});
    }
    // Resealed: a byte after the end, hostile piece counts, one bad piece header field and one bad run
    // length (the pool loader's own rejections, every field and run rule a row of tests/storage).
    const auto hostile = [&](const char* what, int at, const QByteArray& bytes) {
        cases.push_back({QString::fromLatin1(what), sealed(QByteArray(whole).replace(at, bytes.size(), bytes)), Resealed});
    };
    hostile("a byte after the end", int(whole.size()), QByteArray(1, '\0'));
    hostile("piece count 65,535", kPieceCountAt, bigEndian<qint32>(65535));
    hostile("piece count 2", kPieceCountAt, bigEndian<qint32>(2));
    hostile("usedSlots past the segment", kFieldsSize + 12, le32(0x7FFFFFFF));
    hostile("run longer than its first slot", kFieldsSize + kPieceHeaderSize, bigEndian<qint32>(2 * kSlotBytes + 1));
    std::mt19937 random(20260301);
    for (int k = 0; k < 300; ++k) {
        QByteArray bad = whole;
        for (int f = 1 + int(random() % 3); f > 0; --f) {
            const int at = kBodyAt + int(random() % (bad.size() - kBodyAt));
            bad.data()[at] ^= char(1 << (random() % 8));
        }
        cases.push_back({QStringLiteral("resealed random flips %1").arg(k), sealed(bad), RefusedOrLive});
    }

    int live = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what.toStdString());
        writeFile(cachePath(), c.bytes);
        std::unique_ptr<ZDriveVolume> v;
        if (!loads(&v)) {
            // Nothing after the version and checksum is taken.
            EXPECT_TRUE(c.outcome != Refused || (!v->buildTime.isValid() && v->savedUsn == 0));
            continue;
        }
        EXPECT_EQ(c.outcome, RefusedOrLive) << "loaded";
        ++live;
        for (const auto& e : v->recordMap) {
            EXPECT_TRUE(e.second->flags & InUse);
            EXPECT_EQ(e.second->recordNumber, e.first);
            EXPECT_EQ(e.second->modifyStamp, 0u);
        }
    }
    EXPECT_GT(live, 0);   // flips in names, sizes and times pass the checks behind the checksum
}

// At a start the caches (and temp twins) of drives that left the drive
// table go; those of served drives, and other files, stay.
TEST_F(DriveCacheTest, TheCachesOfDrivesThatLeftTheTableAreRemoved)
{
    Platform::ZDriveTable& table = Platform::ZDriveTable::instance();
    table.clear();
    table.setDrive(u'C', nullptr);
    table.setDrive(u'e', nullptr);
    savedVolume();
    // Each name, and whether it stays; a directory drive's kept journal and
    // identities go with its cache.
    const struct {
        const char* name;
        bool stays;
    } files[] = {{"DriveCacheC.dat.temp", true},  {"DriveCacheD.dat", false},     {"DriveCacheD.dat.temp", false},
                 {"DriveCacheE.dat", true},       {"DriveCacheZ.dat", false},     {"DriveCacheDD.dat", true},
                 {"Settings.dat", true},          {"LiveJournalE.dat", true},     {"LiveIdentitiesC.dat", true},
                 {"LiveJournalD.dat", false},     {"LiveIdentitiesD.dat.temp", false}, {"LiveIdentitiesZ.dat", false}};
    QStringList kept{QStringLiteral("DriveCacheC.dat")};
    for (const auto& f : files) {
        writeFile(cacheFolder() + QLatin1Char('/') + QLatin1String(f.name), QByteArray("x"));
        if (f.stays)
            kept.append(QLatin1String(f.name));
    }
    ZDriveVolume::removeDepartedDriveCaches();
    kept.sort();
    EXPECT_EQ(QDir(cacheFolder()).entryList(QDir::Files, QDir::Name), kept);
    EXPECT_TRUE(loads());
    table.clear();
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

// The cache names every file of the drive: the other user can neither read
// it nor list its folder, whether a save made them or an earlier run left
// them open to everyone and this run only loaded the file.
TEST_F(DriveCacheTest, AnotherUserCanNeitherReadTheCacheNorListItsFolder)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    OtherUser::publicTempFolder();
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    ::chmod(dataHome.constData(), 0711);
    const QByteArray file = QFile::encodeName(cachePath()), folder = QFile::encodeName(cacheFolder());
    for (const bool earlierRun : {false, true}) {
        SCOPED_TRACE(earlierRun ? "loaded after an earlier run" : "saved");
        savedVolume();
        if (earlierRun) {
            for (const QByteArray& d : {QFile::encodeName(QFileInfo(cacheFolder()).path()), folder})
                ::chmod(d.constData(), 0755);
            ::chmod(file.constData(), 0644);
            EXPECT_TRUE(loads());
        }
        EXPECT_EQ(OtherUser::runAs([&] {
                      const bool fileShut = ::open(file.constData(), O_RDONLY) < 0 && errno == EACCES;
                      const bool folderShut = ::open(folder.constData(), O_RDONLY | O_DIRECTORY) < 0 && errno == EACCES;
                      return fileShut && folderShut ? 0 : 1;
                  }),
                  0);
        struct stat st{};
        ASSERT_EQ(::stat(file.constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode_t(0600));
    }
}
