// The service with real volume threads on emulated NTFS drives: what a
// client hears on connection, changes on disk arriving as messages whose item
// references resolve in the attached pieces, the searchclient tool's search
// and --watch, a drive that goes away, and a journal that fails with 87
// ending the service and forcing a rebuild of that drive at the next start.
#include "support/ZServiceTestKit.h"

#include "client/ZSharedPoolReader.h"
#include "win32/ZClock.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "win32/win32_ioctl.h"

#include <gtest/gtest.h>

#include <QProcess>

using namespace ServiceTestKit;
using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZItemSnapshot;
using SearchEngine::ZService;
using SearchEngine::ZSharedPoolReader;

namespace {

constexpr DWORD kRoot = 5;
constexpr int kIndexTimeoutMs = 20000;
constexpr int kToolTimeoutMs = 20000;

QString searchclient()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/searchclient");
}

// Runs the searchclient tool to its end while this thread serves the service; its stdout.
QByteArray runTool(QProcess& tool, const QStringList& args)
{
    tool.start(searchclient(), args);
    spinUntil([&] { return tool.state() == QProcess::NotRunning; }, kToolTimeoutMs);
    return tool.readAllStandardOutput();
}

class EmulatedDrives : public ServiceDrivesTest {
protected:
    std::shared_ptr<ZEmulatedNtfsVolume> addDrive(char16_t letter, const ZEmulatedNtfsVolume::Options& options = {})
    {
        auto volume = std::make_shared<ZEmulatedNtfsVolume>(options);
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
    ZEmulatedNtfsVolume::Options fat;
    fat.fileSystemName = u"FAT32";
    addDrive('D', fat);
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
    EXPECT_EQ(announced, (std::vector<ushort>{'C', 'E'})) << "the FAT32 drive is never announced";
    EXPECT_EQ(s.service.volumeList().size(), 2u);

    ZSharedPoolReader reader(ready.poolName, 'C');
    EXPECT_GE(reader.attachPieces(), 1);
    const auto hits = reader.findNames(QStringLiteral("QUARTERLY"));
    ASSERT_EQ(hits.size(), 1);
    EXPECT_EQ(hits[0].fileName(), QStringLiteral("Quarterly REPORT.txt"));
    EXPECT_EQ(hits[0].parentRecordNumber, year);

    // The tool prints the full paths of the names holding the term in any ASCII case.
    QProcess search;
    QStringList lines = QString::fromUtf8(runTool(search, {QStringLiteral("search"), QStringLiteral("Report")}))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(search.exitCode(), 0);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{QStringLiteral("C:\\docs\\2026\\Quarterly REPORT.txt"),
                                  QStringLiteral("C:\\report-index.md")}));
    // --watch prints the messages as they come.
    QProcess watch;
    watch.start(searchclient(), {QStringLiteral("--watch")});
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

// The second start after the failure counts 2: the cache file is taken and
// the reason stays; the third counts 3: that drive is rebuilt from the MFT
// and the reason is cleared.
TEST_F(EmulatedDrives, JournalParameterErrorEndsTheServiceAndTheThirdStartRebuilds)
{
    auto g = addDrive('G');
    g->createFile(kRoot, u"keep.txt");
    const int reason = (87 << 16) | 'G';
    ULONGLONG enumerated = 0;
    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE(start);
        RealService s;
        ASSERT_TRUE(s.started);
        EXPECT_EQ(initTimes(), start);
        TestClient client;
        ASSERT_TRUE(client.connectTo(s.service));
        size_t at = 0;
        ZClientMessage ready;
        ASSERT_TRUE(client.next(at, {1}, &ready, kIndexTimeoutMs));
        ASSERT_TRUE(client.next(at, {2}, nullptr, kIndexTimeoutMs));
        EXPECT_EQ(g->callCount(FSCTL_ENUM_USN_DATA) > enumerated, start != 2) << "built from the MFT";
        enumerated = g->callCount(FSCTL_ENUM_USN_DATA);
        EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceQuitReason")).toInt(), start == 2 ? reason : 0);
        if (start == 3) {
            ZSharedPoolReader reader(ready.poolName, 'G');
            reader.attachPieces();
            EXPECT_EQ(reader.findNames(QStringLiteral("wake")).size(), 1);
        } else if (start == 1) {
            g->failCall(FSCTL_READ_USN_JOURNAL, ERROR_INVALID_PARAMETER, ZEmulatedNtfsVolume::kUntilCleared);
            g->createFile(kRoot, u"wake.txt");
            EXPECT_TRUE(quitsWithin(15000)) << "the service ends a second after the journal gives up";
            EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceQuitReason")).toInt(), reason);
            client.socket.abort();
            g->clearFaults();
        }
    }
}

TEST(ClientToolAlone, WithoutServiceOrWithBadArgumentsItSaysSo)
{
    app();
    const struct {
        QStringList args;
        int exitCode;
        const char* said;
    } cases[] = {
        {{QStringLiteral("search"), QStringLiteral("x")}, 1, "not running"},
        {{QStringLiteral("search")}, 2, "usage"},
    };
    for (const auto& c : cases) {
        QProcess tool;
        runTool(tool, c.args);
        EXPECT_EQ(tool.exitCode(), c.exitCode) << c.said;
        EXPECT_TRUE(tool.readAllStandardError().contains(c.said)) << c.said;
    }
}
