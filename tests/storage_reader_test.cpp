// The client-side reader: attaching a pool's pieces by key, resolving item
// references, the name validity rule, walks and name search, and a reader in
// another process that reads while this one writes.
#include "client/ZSharedPoolReader.h"
#include "platform/ZClock.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"
#include "storage_probe_names.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QUuid>

#include <gtest/gtest.h>

#include <unordered_map>

using namespace SearchEngine;

namespace {

class StorageReader : public ::testing::Test {
protected:
    void SetUp() override { Platform::setClock(&clock); }
    void TearDown() override { Platform::setClock(nullptr); }

    ZLockItem add(const QString& text, DWORD recordNumber, bool recycle = false, DWORD stamp = 0)
    {
        ZItemName n;
        EXPECT_TRUE(makeItemName(text, &n));
        ZLockItem run = recycle ? pool.allocate(n.slotCount()) : pool.append(n.slotCount());
        ZItemFields f;
        f.recordNumber = recordNumber;
        f.parentRecordNumber = StorageProbe::parentOf(recordNumber);
        f.fileSize = StorageProbe::fileSizeOf(recordNumber);
        f.accessTime = StorageProbe::accessTimeOf(recordNumber);
        f.nameSignature = n.signature;
        f.modifyStamp = stamp;
        EXPECT_TRUE(createItem(run, f, n));
        return run;
    }

    QStringList names(const QVector<ZItemSnapshot>& found)
    {
        QStringList list;
        for (const ZItemSnapshot& s : found)
            list.append(s.fileName());
        return list;
    }

    Platform::ZManualClock clock;
    const QString poolName = QUuid::createUuid().toString();
    ZSharedPool pool{poolName, 'C'};
};

} // namespace

TEST_F(StorageReader, ResolvesReferencesToLiveAndFreedRecords)
{
    ZLockItem a = add(QStringLiteral("Alpha.txt"), 30);
    ZLockItem b = add(QStringLiteral("beta.doc"), 31);
    freeItem(pool, b, 17);

    ZSharedPoolReader reader(poolName, 'C');
    EXPECT_EQ(reader.attachPieces(), 1);
    ZItemSnapshot s;
    ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_TRUE(s.isLive());
    EXPECT_EQ(s.itemRef, a.itemRef());
    EXPECT_EQ(s.fileName(), QStringLiteral("Alpha.txt"));
    EXPECT_EQ(s.recordNumber, 30u);
    EXPECT_EQ(s.parentRecordNumber, StorageProbe::parentOf(30));
    EXPECT_EQ(s.slotCount, 3);

    ASSERT_EQ(reader.readItem(b.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_FALSE(s.isLive());
    EXPECT_EQ(s.modifyStamp, 17u);

    EXPECT_EQ(reader.readItem(makeItemRef('D', 1, 0), &s), ZSharedPoolReader::BadReference);
    EXPECT_EQ(reader.readItem(makeItemRef('C', 0, 0), &s), ZSharedPoolReader::BadReference);
    EXPECT_EQ(reader.readItem(makeItemRef('C', 1, 6), &s), ZSharedPoolReader::BadReference);
    EXPECT_EQ(reader.readItem(makeItemRef('C', 1, 0xFFFFFFFF), &s), ZSharedPoolReader::BadReference);
    EXPECT_EQ(reader.readItem(makeItemRef('C', 2, 0), &s), ZSharedPoolReader::PieceMissing);
}

TEST_F(StorageReader, AttachesNewPiecesWhenAReferenceNamesThem)
{
    add(QStringLiteral("first"), 1);
    ZSharedPoolReader reader(poolName, 0);   // learns the drive from the header
    reader.attachPieces();
    EXPECT_EQ(reader.drive(), 'C');
    ASSERT_TRUE(pool.appendPiece());
    ASSERT_TRUE(pool.appendPiece());
    ZLockItem later = add(QStringLiteral("in piece three"), 3);
    ASSERT_EQ(itemRefPieceNumber(later.itemRef()), 3);
    ZItemSnapshot s;
    ASSERT_EQ(reader.readItem(later.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_EQ(reader.attachedPieces(), 3);
    EXPECT_EQ(s.fileName(), QStringLiteral("in piece three"));
}

TEST_F(StorageReader, ReadsNamesByTheValidityRule)
{
    ZLockItem a = add(QStringLiteral("abcdefgh"), 1);   // 3 slots
    ZSharedPoolReader reader(poolName, 'C');
    reader.attachPieces();
    ZItemSnapshot s;
    a->nameLength = 96;   // not below slotCount * 32
    ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_TRUE(s.name.isEmpty());
    a->nameLength = 96 - 56;   // would end past the run
    ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_TRUE(s.name.isEmpty());
    a->nameLength = 8;
    ASSERT_EQ(reader.readItem(a.itemRef(), &s), ZSharedPoolReader::ReadOk);
    EXPECT_EQ(s.name, QByteArray("abcdefgh"));
}

TEST_F(StorageReader, RefusesPiecesWhoseHeaderDoesNotFit)
{
    add(QStringLiteral("x"), 1);
    pool.piece(1)->header()->slotSize = 64;
    ZSharedPoolReader reader(poolName, 'C');
    EXPECT_EQ(reader.attachPieces(), 0);
    pool.piece(1)->header()->slotSize = 32;
    ZSharedPoolReader wrongDrive(poolName, 'D');
    EXPECT_EQ(wrongDrive.attachPieces(), 0);
}

TEST_F(StorageReader, WalksLiveRecordsInOrder)
{
    for (DWORD i = 0; i < 50; ++i) {
        ZLockItem run = add(StorageProbe::itemName(i, 0), i);
        if (i % 5 == 0)
            freeItem(pool, run, i);
    }
    ASSERT_TRUE(pool.appendPiece());
    add(StorageProbe::itemName(50, 0), 50);
    ZSharedPoolReader reader(poolName, 'C');
    reader.attachPieces();
    QList<DWORD> seen;
    reader.forEachLiveItem([&](const ZItemSnapshot& s) {
        EXPECT_TRUE(StorageProbe::isWhole(s)) << s.name.constData();
        seen.append(s.recordNumber);
        return true;
    });
    ASSERT_EQ(seen.size(), 41);
    EXPECT_EQ(seen.first(), 1u);
    EXPECT_EQ(seen.last(), 50u);
    int visits = 0;
    reader.forEachLiveItem([&](const ZItemSnapshot&) { return ++visits < 3; });
    EXPECT_EQ(visits, 3);
}

TEST_F(StorageReader, FindsNamesIgnoringAsciiCase)
{
    add(QStringLiteral("Quarterly REPORT.xlsx"), 1);
    add(QStringLiteral("report-draft.doc"), 2);
    add(QStringLiteral("notes.txt"), 3);
    add(QString::fromUtf8("Überblick Report.pdf"), 4);
    add(QString::fromUtf8("überblick.txt"), 5);
    ZLockItem gone = add(QStringLiteral("old report.bak"), 6);
    freeItem(pool, gone, 1);
    ZSharedPoolReader reader(poolName, 'C');
    reader.attachPieces();

    EXPECT_EQ(names(reader.findNames(QStringLiteral("rEpOrT"))),
              (QStringList{QStringLiteral("Quarterly REPORT.xlsx"), QStringLiteral("report-draft.doc"),
                           QString::fromUtf8("Überblick Report.pdf")}));
    EXPECT_EQ(names(reader.findNames(QStringLiteral(".TXT"))),
              (QStringList{QStringLiteral("notes.txt"), QString::fromUtf8("überblick.txt")}));
    // Only ASCII letters fold: Ü and ü differ.
    EXPECT_EQ(names(reader.findNames(QString::fromUtf8("ü"))), QStringList{QString::fromUtf8("überblick.txt")});
    EXPECT_TRUE(reader.findNames(QStringLiteral("reports")).isEmpty());
    EXPECT_FALSE(ZSharedPoolReader::containsIgnoringAsciiCase("[x]", "{x}"));   // not letters
    EXPECT_EQ(reader.findNames(QStringLiteral("report"), 1).size(), 1);
    EXPECT_EQ(reader.findNames(QString()).size(), 5);
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
    DWORD nextRecord = 1;
    DWORD counter = 1;
    for (; nextRecord <= 5000; ++nextRecord)
        live[nextRecord] = {add(StorageProbe::itemName(nextRecord, 0), nextRecord), 0};

    QProcess probe;
    probe.start(QStringLiteral(STORAGE_READER_PROBE),
                {poolName, QString::number('C'), QStringLiteral("25")});
    ASSERT_TRUE(probe.waitForStarted(30000));
    QRandomGenerator random(7);
    int rounds = 0;
    long long renames = 0, frees = 0;
    while (probe.state() != QProcess::NotRunning && rounds < 200000) {
        ++rounds;
        for (int op = 0; op < 200; ++op) {
            const DWORD pick = 1 + random.bounded(nextRecord - 1);
            auto it = live.find(pick);
            const int action = random.bounded(3);
            if (it == live.end() || action == 0) {
                const DWORD rn = nextRecord++;
                live[rn] = {add(StorageProbe::itemName(rn, 0), rn, true, counter++), 0};
            } else if (action == 1) {
                ZItemName n;
                makeItemName(StorageProbe::itemName(pick, it->second.second + 1), &n);
                ZItemFields f;
                f.recordNumber = pick;
                f.parentRecordNumber = StorageProbe::parentOf(pick);
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
    std::printf("writer: rounds=%d renames=%lld frees=%lld pieces=%d; reader: %s", rounds, renames, frees,
                pool.pieceCount(), report.constData());
#endif
}
