// The service with real volume threads on emulated NTFS drives: what a
// client hears on connection, changes on disk arriving as messages whose item
// references resolve in the attached pieces, the searchclient tool's search
// and --watch, and a drive that goes away. (A journal failing with 87 is
// followed in parts: the monitor's quit reason in journal_monitor_test, the
// rebuild it forces at the third start in volume_thread_test, the service's
// end in service_connections_test.)
#include "support/ZServiceTestKit.h"

#include "client/ZSharedPoolReader.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"

#include <gtest/gtest.h>

using namespace ServiceTestKit;
using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZItemSnapshot;
using SearchEngine::ZSharedPoolReader;

namespace {

constexpr DWORD kRoot = 5;
constexpr int kIndexTimeoutMs = 20000;
constexpr int kToolTimeoutMs = 20000;

class EmulatedDrives : public ServiceDrivesTest {
protected:
    std::shared_ptr<ZEmulatedNtfsVolume> addDrive(char16_t letter)
    {
        auto volume = std::make_shared<ZEmulatedNtfsVolume>();
        Platform::ZDriveTable::instance().setDrive(letter, volume);
        return volume;
    }
};

} // namespace

TEST_F(EmulatedDrives, ChangesOnDiskArriveAsMessagesThatResolveInThePieces)
{
    auto c = addDrive('C');
    const DWORD docs = c->createFolder(kRoot, u"docs");
    const DWORD archive = c->createFolder(kRoot, u"archive");
    const DWORD year = c->createFolder(docs, u"2026");
    c->createFile(year, u"Quarterly REPORT.txt");
    c->createFile(kRoot, u"report-index.md");
    c->createFile(archive, u"old.bin");
    auto e = addDrive('E');
    e->createFile(kRoot, u"stick.txt");

    RealService s;
    ASSERT_TRUE(s.started);
    TestClient client;
    ASSERT_TRUE(client.connectTo(s.service));
    size_t at = 0;
    ZClientMessage ready;
    ASSERT_TRUE(client.next(at, {2}, nullptr, kIndexTimeoutMs));
    std::vector<ushort> announced;
    for (const auto& m : client.messages) {
        if (m.type == 1)
            announced.push_back(m.drive);
        if (m.type == 1 && m.drive == 'C')
            ready = m;
    }
    std::sort(announced.begin(), announced.end());
    EXPECT_EQ(announced, (std::vector<ushort>{'C', 'E'}));
    EXPECT_EQ(s.service.volumeList().size(), 2u);

    ZSharedPoolReader reader(ready.poolName, 'C');
    EXPECT_GE(reader.attachPieces(), 1);
    const auto hits = reader.findNames(QStringLiteral("QUARTERLY"));
    ASSERT_EQ(hits.size(), 1);
    EXPECT_EQ(hits[0].fileName(), QStringLiteral("Quarterly REPORT.txt"));
    EXPECT_EQ(hits[0].parentRecordNumber, year);

    // The tool prints the full paths of the names holding the term in any ASCII case.
    const Ran search = runServing(builtProgram("searchclient"), {"search", "Report"}, kToolTimeoutMs);
    QStringList lines = QString::fromUtf8(search.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(search.code, 0);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{QStringLiteral("C:\\docs\\2026\\Quarterly REPORT.txt"),
                                  QStringLiteral("C:\\report-index.md")}));
    // --watch prints the messages as they come.
    QProcess watch;
    watch.start(builtProgram("searchclient"), {QStringLiteral("--watch")});
    QByteArray watched;
    const auto printed = [&](const char* text) {
        return spinUntil([&] { return (watched += watch.readAllStandardOutput()).contains(text); }, kToolTimeoutMs);
    };
    ASSERT_TRUE(printed("2 all ready")) << watched.constData();
    EXPECT_TRUE(watched.startsWith("1 ready C: pool={")) << watched.constData();

    auto read = [&](ULONGLONG ref) {
        ZItemSnapshot item;
        EXPECT_EQ(reader.readItem(ref, &item), ZSharedPoolReader::ReadOk);
        return item;
    };
    const DWORD file = c->createFile(docs, u"fresh.txt");
    ZClientMessage added, renamed, moved, removed, lost;
    ASSERT_TRUE(client.next(at, {6}, &added));
    EXPECT_EQ(added.itemRef >> 48, ULONGLONG('C'));
    const ZItemSnapshot created = read(added.itemRef);
    EXPECT_TRUE(created.isLive());
    EXPECT_EQ(created.fileName(), QStringLiteral("fresh.txt"));
    EXPECT_EQ(created.recordNumber, file);
    EXPECT_EQ(created.parentRecordNumber, docs);
    EXPECT_TRUE(printed("6 appended 0x0043")) << watched.constData();
    watch.kill();
    watch.waitForFinished();

    // Renamed: the old reference reads as freed with the stamp of the new record.
    ASSERT_TRUE(c->rename(file, u"renamed.txt"));
    ASSERT_TRUE(client.next(at, {7}, &renamed));
    EXPECT_EQ(renamed.itemRef, added.itemRef);
    EXPECT_GT(renamed.modifyMask, added.modifyMask);
    const ZItemSnapshot oldItem = read(renamed.itemRef), newItem = read(renamed.newItemRef);
    EXPECT_EQ(newItem.fileName(), QStringLiteral("renamed.txt"));
    EXPECT_TRUE(newItem.isLive());
    EXPECT_FALSE(oldItem.isLive());
    EXPECT_EQ(oldItem.modifyStamp, newItem.modifyStamp);

    ASSERT_TRUE(c->move(file, archive));
    ASSERT_TRUE(client.next(at, {7}, &moved));
    EXPECT_EQ(moved.itemRef, renamed.newItemRef);
    EXPECT_EQ(read(moved.newItemRef).fileName(), QStringLiteral("renamed.txt"));
    EXPECT_EQ(read(moved.newItemRef).parentRecordNumber, archive);

    ASSERT_TRUE(c->remove(file));
    ASSERT_TRUE(client.next(at, {4}, &removed));
    EXPECT_EQ(removed.itemRef, moved.newItemRef);
    EXPECT_FALSE(read(removed.itemRef).isLive());
    EXPECT_TRUE(reader.findNames(QStringLiteral("renamed")).isEmpty());

    // A drive that goes away is told and dropped; C: goes on.
    e->setNotReady(true);
    ASSERT_TRUE(client.next(at, {8}, &lost));
    EXPECT_EQ(lost.reason, 21u);
    EXPECT_EQ(lost.drive, 'E');
    EXPECT_TRUE(spinUntil([&] { return s.service.volumeList().size() == 1; }, 3000));
    EXPECT_EQ(s.service.volumeList().front()->drive(), 'C');
    c->createFile(kRoot, u"still-here.txt");
    EXPECT_TRUE(client.next(at, {6}));
    EXPECT_EQ(client.decoder.malformedCount(), 0);
}
