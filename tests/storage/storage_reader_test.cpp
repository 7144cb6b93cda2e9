// The client-side reader: attaching a pool's pieces by key, resolving item
// references, the name validity rule, walks and name search, and a reader in
// another process that reads while this one writes, forged pieces, and who
// may read a pool's pieces.
#include "win32/ZClock.h"
#include "storage/storage_probe_names.h"
#include "support/ZOtherUser.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstring>
#include <grp.h>
#include <unordered_map>

using namespace SearchEngine;
using namespace StorageProbe;

namespace {

class StorageReader : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

    Platform::ZManualClock clock;
    const QString poolName = QUuid::createUuid().toString();
    ZSharedPool pool{poolName, 'C'};
};

QStringList found(ZSharedPoolReader& reader, const char* term, int limit = -1)
{
    QStringList list;
    for (const ZItemSnapshot& s : reader.findNames(QString::fromUtf8(term), limit))
        list.append(s.fileName());
    return list;
}

} // namespace

TEST_F(StorageReader, ResolvesReferencesAndRefusesBadOnesAndUnfitNames)
{
    ZLockItem a = addItem(pool, itemName(30, 0), 30);
    ZLockItem b = addItem(pool, QStringLiteral("beta.doc"), 31);
    freeItem(pool, b, 17);
    pool.piece(1)->header()->slotSize = 64;
    EXPECT_EQ(ZSharedPoolReader(poolName, 'C').attachPieces(), 0);
    pool.piece(1)->header()->slotSize = 32;
    EXPECT_EQ(ZSharedPoolReader(poolName, 'D').attachPieces(), 0);
    ZSharedPoolReader reader(poolName, 0);   // learns the drive from the header
    EXPECT_EQ(reader.attachPieces(), 1);
    EXPECT_EQ(reader.drive(), 'C');
    ZItemSnapshot s;
    ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_TRUE(s.isLive() && isWhole(s)) << s.name.constData();
    EXPECT_EQ(s.itemRef, a.itemRef());
    EXPECT_EQ(s.slotCount, 3);
    ASSERT_EQ(reader.readItem(b.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_FALSE(s.isLive());
    EXPECT_EQ(s.modifyStamp, 17u);
    const struct {
        ULONGLONG ref;
        ZSharedPoolReader::ReadResult expected;
    } bad[] = {
        {makeItemRef('D', 1, 0), ZSharedPoolReader::BadReference},
        {makeItemRef('C', 0, 0), ZSharedPoolReader::BadReference},
        {makeItemRef('C', 1, 1), ZSharedPoolReader::BadReference},   // inside a run
        {makeItemRef('C', 1, 6), ZSharedPoolReader::BadReference},   // past the used slots
        {makeItemRef('C', 1, 0xFFFFFFFF), ZSharedPoolReader::BadReference},
        {makeItemRef('C', 2, 0), ZSharedPoolReader::PieceMissing},
    };
    for (const auto& c : bad)
        EXPECT_EQ(reader.readItem(c.ref, &s), c.expected) << std::hex << c.ref;
    // A name whose bytes, or the byte after them, would run past the run reads
    // as empty, to the writer's side as to the reader.
    for (WORD length : {WORD(96), WORD(96 - 56), WORD(96 - 57), WORD(8)}) {
        a->nameLength = length;
        const QByteArray expected = length < 40 ? QByteArray(a->nameBytes(), length) : QByteArray();
        EXPECT_EQ(a.name(), expected) << length;
        ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
        EXPECT_EQ(s.name, expected) << length;
    }

    // A reference into a piece added since is attached on demand.
    ASSERT_TRUE(pool.appendPiece());
    ASSERT_TRUE(pool.appendPiece());
    ZLockItem later = addItem(pool, QStringLiteral("in piece three"), 3);
    ASSERT_EQ(reader.readItem(later.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_EQ(reader.attachedPieces(), 3);
    EXPECT_EQ(s.fileName(), QStringLiteral("in piece three"));
}

TEST_F(StorageReader, WalksLiveRecordsInOrderAndFindsNamesIgnoringAsciiCase)
{
    for (DWORD i = 0; i < 50; ++i) {
        ZLockItem run = addItem(pool, itemName(i, 0), i);
        if (i % 5 == 0)
            freeItem(pool, run, i);
    }
    ASSERT_TRUE(pool.appendPiece());
    addItem(pool, itemName(50, 0), 50);
    ZSharedPoolReader reader(poolName, 'C');
    reader.attachPieces();
    QList<DWORD> seen;
    reader.forEachLiveItem([&](const ZItemSnapshot& s) {
        EXPECT_TRUE(isWhole(s)) << s.name.constData();
        return seen.append(s.recordNumber), true;
    });
    ASSERT_EQ(seen.size(), 41);
    EXPECT_EQ(seen.first(), 1u);
    EXPECT_EQ(seen.last(), 50u);
    int visits = 0;
    reader.forEachLiveItem([&](const ZItemSnapshot&) { return ++visits < 3; });
    EXPECT_EQ(visits, 3);

    ZSharedPool other(poolName + QStringLiteral("names"), 'C');
    for (const char* text : {"Quarterly REPORT.xlsx", "report-draft.doc", "notes.txt", "Überblick Report.pdf",
                             "überblick.txt"})
        addItem(other, QString::fromUtf8(text), 1);
    freeItem(other, addItem(other, QStringLiteral("old report.bak"), 6), 1);
    ZSharedPoolReader finder(other.name(), 'C');
    finder.attachPieces();
    EXPECT_EQ(found(finder, "rEpOrT"),
              QString::fromUtf8("Quarterly REPORT.xlsx|report-draft.doc|Überblick Report.pdf").split('|'));
    EXPECT_EQ(found(finder, ".TXT"), QString::fromUtf8("notes.txt|überblick.txt").split('|'));
    EXPECT_EQ(found(finder, "ü"), QStringList{QString::fromUtf8("überblick.txt")});   // only ASCII letters fold
    EXPECT_TRUE(found(finder, "reports").isEmpty());
    EXPECT_FALSE(ZSharedPoolReader::containsIgnoringAsciiCase("[x]", "{x}"));   // not letters
    EXPECT_EQ(found(finder, "report", 1).size(), 1);
    EXPECT_EQ(found(finder, "").size(), 5);
}

// A reader process walks the pool while this process appends, frees and
// renames, with the reuse age passed at every round so runs are recycled
// under the reader's feet as fast as they can be.
TEST_F(StorageReader, AnotherProcessNeverSeesATornRecord)
{
#ifndef STORAGE_READER_PROBE
    GTEST_SKIP() << "the reader probe is not built";
#else
    std::unordered_map<DWORD, std::pair<ZLockItem, DWORD>> live;   // record -> (run, generation)
    DWORD nextRecord = 1, counter = 1;
    for (; nextRecord <= 5000; ++nextRecord)
        live[nextRecord] = {addItem(pool, itemName(nextRecord, 0), nextRecord), 0};

    QProcess probe;
    probe.start(QStringLiteral(STORAGE_READER_PROBE), {poolName, QString::number('C'), QStringLiteral("25")});
    ASSERT_TRUE(probe.waitForStarted(30000));
    QRandomGenerator random(7);
    long long renames = 0, frees = 0;
    for (int rounds = 1; probe.state() != QProcess::NotRunning && rounds <= 200000; ++rounds) {
        for (int op = 0; op < 200; ++op) {
            const DWORD pick = 1 + random.bounded(nextRecord - 1);
            auto it = live.find(pick);
            const int action = random.bounded(3);
            if (it == live.end() || action == 0) {
                const DWORD rn = nextRecord++;
                live[rn] = {addItem(pool, itemName(rn, 0), rn, true, counter++), 0};
                ASSERT_TRUE(live[rn].first);
            } else if (action == 1) {
                ZItemName n;
                makeItemName(itemName(pick, it->second.second + 1), &n);
                const ZItemFields f{pick, parentOf(pick)};
                ZLockItem renamed = replaceItem(pool, it->second.first, f, n, counter++);
                ASSERT_TRUE(renamed);
                it->second = {renamed, it->second.second + 1};
                ++renames;
            } else {
                freeItem(pool, it->second.first, counter++);
                live.erase(it);
                ++frees;
            }
        }
        clock.advance(ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000);
        if (rounds % 16 == 0) {
            ASSERT_TRUE(pool.appendPiece());   // pieces appear while the reader reads
        }
        probe.waitForFinished(0);
    }
    if (probe.state() != QProcess::NotRunning) {
        ASSERT_TRUE(probe.waitForFinished(120000));
    }
    const QByteArray report = probe.readAllStandardOutput();
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0) << report.constData() << probe.readAllStandardError().constData();
    EXPECT_TRUE(report.contains("torn=0")) << report.constData();
    EXPECT_GT(renames, 0);
    EXPECT_GT(frees, 0);
#endif
}

// What another local user may plant: a segment of its own under the pool's
// next piece key, and (before the service's first start) a key folder under
// the service's name. Neither is ever read; a piece is attached only when
// announced and made by the expected user.
TEST_F(StorageReader, ForgedPiecesAndKeyFoldersAreNeverRead)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    // Both sides in one temporary folder that everyone may write, as /tmp.
    const TempFolderAs tmp(OtherUser::publicTempFolder());
    // A key folder planted under this user's name before its first start
    // is refused: nothing is made in it.
    const QByteArray folder = QFile::encodeName(segmentKeyFolder(geteuid()));
    ::rmdir(folder.constData());
    ASSERT_EQ(OtherUser::runAs([&] { return ::mkdir(folder.constData(), 0777) == 0 ? 0 : 1; }), 0);
    ZSharedPiece squatted(QUuid::createUuid().toString() + QStringLiteral("1"), 1, nullptr);
    EXPECT_FALSE(squatted.init(false, 'C'));
    EXPECT_EQ(squatted.initError(), int(ZSharedSegment::KeyFolderUnusable));
    ASSERT_EQ(::rmdir(folder.constData()), 0);

    const QString name = QUuid::createUuid().toString();
    ZSharedPool real(name, 'C');
    addItem(real, QStringLiteral("real.txt"), 40);
    const QString next = name + QStringLiteral("2");
    ASSERT_EQ(OtherUser::runAs([&] {
        ZSharedPool forged(name + QStringLiteral("-forged"), 'C');   // made only to hand its bytes on
        addItem(forged, QStringLiteral("forged.txt"), 41);
        ZSharedSegment planted(next);
        if (!forged.piece(1) || !planted.create(forged.piece(1)->segmentSize()))
            return 1;
        std::memcpy(planted.data(), forged.piece(1)->header(), size_t(forged.piece(1)->segmentSize()));
        reinterpret_cast<PieceHeader*>(planted.data())->pieceNumber = 2;
        return 0;   // the segment goes with this process; its key file stays planted until then
    }), 0);
    ZSharedPoolReader trusting(name, 'C', SegmentOwner{OtherUser::kUid, 0});
    EXPECT_EQ(trusting.attachPieces(), 0) << "the other user's folder holds no piece 1";
    ZSharedPoolReader reader(name, 'C', SegmentOwner{geteuid(), getpid()});
    reader.setAnnouncedPieces(1);
    EXPECT_EQ(reader.attachPieces(), 1);
    EXPECT_EQ(found(reader, "forged"), QStringList());
    EXPECT_EQ(found(reader, "real"), QStringList{QStringLiteral("real.txt")});
}

// Who may read a pool: with no group named its pieces are the user's alone
// (0600); a named group (by name or number) gets them 0640, an unknown one
// leaves them private. Readers trusting the creating user attach them either
// way, and as root another user reads them exactly when the group is theirs.
TEST_F(StorageReader, PiecesAreSharedWithTheNamedGroupOnly)
{
    const auto restore = qScopeGuard([] { qunsetenv(kSegmentGroupVariable); });
    const bool otherUser = OtherUser::unavailable().isEmpty();
    // The key folder where the other user can reach it.
    const TempFolderAs tmp(otherUser ? OtherUser::publicTempFolder() : QDir::tempPath());
    const QByteArray ownGroup = QByteArray::number(uint(getegid()));
    const group* own = getgrgid(getegid());
    const QByteArray ownName = own ? QByteArray(own->gr_name) : ownGroup;
    const struct {
        QByteArray named;
        mode_t mode;
        gid_t gid;
        bool otherReads;
    } cases[] = {
        {QByteArray(), 0600, getegid(), false},
        {ownName, 0640, getegid(), false},
        {ownGroup, 0640, getegid(), false},
        {QByteArray("no-such-group-of-this-test"), 0600, getegid(), false},
        {QByteArray::number(uint(OtherUser::kGid)), 0640, OtherUser::kGid, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named.constData());
        qputenv(kSegmentGroupVariable, c.named);
        const QString name = QUuid::createUuid().toString();
        ZSharedPool shared(name, 'C');
        addItem(shared, QStringLiteral("shared.txt"), 50);
        shmid_ds info{};
        ASSERT_EQ(::shmctl(segmentIdOf(segmentKeyFile(name + QStringLiteral("1"), geteuid())), IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_perm.mode & 0777, c.mode);
        EXPECT_EQ(info.shm_perm.gid, c.gid);
        EXPECT_EQ(info.shm_perm.uid, geteuid());
        ZSharedPoolReader reader(name, 'C', SegmentOwner{geteuid(), getpid()});
        EXPECT_EQ(reader.attachPieces(), 1);
        EXPECT_EQ(found(reader, "shared"), QStringList{QStringLiteral("shared.txt")});
        if (otherUser) {
            const uid_t service = geteuid();
            EXPECT_EQ(OtherUser::runAs([&] {
                          ZSharedPoolReader other(name, 'C', SegmentOwner{service, 0});
                          return other.attachPieces() == 1 && found(other, "shared").size() == 1 ? 1 : 0;
                      }),
                      int(c.otherReads));
        }
    }
}
