// Journal changes applied to a drive's index: the index is built from an
// emulated NTFS volume, files are changed through the volume's change
// interface, and the journal records it writes are fed by the journal monitor
// to applyUsnChange, as the volume thread does.
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"
#include "volume/ZDriveVolume.h"

#include "support/TestEnvironment.h"
#include "support/ZLogLines.h"
#include "support/ZStoppingClock.h"
#include "support/ZUsnRecordBuild.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace SearchEngine;
using Platform::ZEmulatedNtfsVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr size_t kSlackBytes = 600;

// One live item as a reader sees it: record, parent, name, size, folder.
using Item = std::tuple<DWORD, DWORD, std::string, ULONGLONG, bool>;

// The index through recordMap; every entry must be a live record filed
// under its own record number.
std::vector<Item> indexOf(ZDriveVolume& v)
{
    std::vector<Item> items;
    for (const auto& entry : v.recordMap) {
        const ZLockItem item(entry.second);
        EXPECT_TRUE(item.isLive());
        EXPECT_EQ(entry.first, item->recordNumber);
        items.emplace_back(item->recordNumber, item->parentRecordNumber, item.name().toStdString(), item->fileSize,
                           (item->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    std::sort(items.begin(), items.end());
    return items;
}

// Builds the index from the MFT as the volume thread does.
void buildIndex(ZDriveVolume& v)
{
    DirectoryMap pendingParents, knownDirectories;
    v.enumerateMft([&](USN_RECORD_V2* rec) { v.addEnumeratedRecord(rec, pendingParents, knownDirectories); });
    v.pruneOrphans(pendingParents, knownDirectories);
    freeDirectoryNodes(knownDirectories, pendingParents);
}

// A hand-made journal record, with room after it so that a name claimed
// past its end reads as a wrong name rather than a fault.
std::vector<BYTE> journalRecord(DWORD record, DWORD parent, const std::u16string& name, DWORD reasons, USN usn = 0)
{
    return TestSupport::usnRecordBytes(record, parent, name, reasons, usn, 1, kSlackBytes);
}
using TestSupport::asUsnRecord;

// A spy on each change signal.
struct Spies {
    explicit Spies(ZDriveVolume* v)
        : appended(v, &ZDriveVolume::itemAppended), removed(v, &ZDriveVolume::itemRemoved),
          renamed(v, &ZDriveVolume::itemNameChanged)
    {
    }
    QSignalSpy appended, removed, renamed;
};

class ChangeApplyTest : public ::testing::Test {
protected:
    // DEBUG lines are written: LogLevel 0 before the first statement.
    static void SetUpTestSuite() { ASSERT_TRUE(ServiceTestKit::enableDebugLog()); }
    void SetUp() override
    {
        Platform::setClock(&clock);
        device = std::make_shared<ZEmulatedNtfsVolume>();
        Platform::ZDriveTable::instance().setDrive(kDrive, device);
        docs = device->createFolder(kRoot, u"docs");
        music = device->createFolder(kRoot, u"music");
        readme = device->createFile(docs, u"readme.txt");
        ASSERT_TRUE(device->write(readme, 0, 100));
    }
    void TearDown() override
    {
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
        Platform::setClock(nullptr);
    }

    // Opens the drive, builds its index and starts following the journal
    // from its current end, as the thread does before monitoring.
    void build()
    {
        volume.reset(new ZDriveVolume(kDrive));
        ASSERT_EQ(volume->initDriveVolume(), 0u);
        buildIndex(*volume);
        skipJournal();
        pendingRename = volume->recordMap.end();
        lastSaveTime = clock.now();
        volume->m_modifyCounter = 1;
    }

    // Hands every journal record written since the last call, through the
    // journal monitor and its reason filter, to applyUsnChange.
    void apply()
    {
        // The second read in a row that would wait (the first took every
        // record there was) stops the monitor.
        clock.stop = &volume->stopRequested;
        clock.idleReadsToStop = 2;
        clock.idleReads = 0;
        volume->monitorUsnJournal(readPosition, [this](USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons) {
            volume->applyUsnChange(rec, recordNumber, reasons, pendingRename, lastSaveTime);
        });
        volume->stopRequested = false;
        skipJournal();
    }

    // Skips the journal records written so far, so that hand-made records tell the change.
    void skipJournal() { readPosition = device->journalState().data.NextUsn; }

    // Applies one hand-made record with its own reasons.
    void applyRecord(std::vector<BYTE> bytes)
    {
        USN_RECORD_V2* r = asUsnRecord(bytes);
        volume->applyUsnChange(r, DWORD(r->FileReferenceNumber), r->Reason, pendingRename, lastSaveTime);
    }
    void applyRecord(DWORD record, DWORD parent, const std::u16string& name, DWORD reasons, USN usn = 0)
    {
        applyRecord(journalRecord(record, parent, name, reasons, usn));
    }

    // The number of items of a record, and its item of a name.
    size_t itemCount(DWORD record) { return volume->recordMap.count(record); }
    ZLockItem itemNamed(DWORD record, const QByteArray& name)
    {
        for (auto range = volume->recordMap.equal_range(record); range.first != range.second; ++range.first)
            if (ZLockItem(range.first->second).name() == name)
                return ZLockItem(range.first->second);
        return ZLockItem();
    }

    // The record an item reference names, found as a client finds it.
    ItemRecord* resolve(ULONGLONG itemRef)
    {
        EXPECT_EQ(itemRefDrive(itemRef), kDrive);
        ZSharedPiece* piece = volume->pool->piece(itemRefPieceNumber(itemRef));
        return piece ? reinterpret_cast<ItemRecord*>(reinterpret_cast<BYTE*>(piece->header())
                                                     + slotByteOffset(itemRefSlotIndex(itemRef)))
                     : nullptr;
    }

    // The index equals a fresh build of the same volume.
    void expectIndexIsFresh()
    {
        ZDriveVolume other(kDrive);
        ASSERT_EQ(other.initDriveVolume(), 0u);
        buildIndex(other);
        EXPECT_EQ(indexOf(*volume), indexOf(other));
        other.closeVolume();
    }

    TestSupport::ZStoppingClock clock;
    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    USN readPosition = 0;
    RecordMap::iterator pendingRename;
    QDateTime lastSaveTime;
    DWORD docs = 0, music = 0, readme = 0;
};

} // namespace

TEST(ReasonText, NamesTheKnownSetBitsInBitOrderAndIgnoresOthers)
{
    EXPECT_EQ(ZDriveVolume::reasonText(0), QString());
    EXPECT_EQ(ZDriveVolume::reasonText(USN_REASON_CLOSE | USN_REASON_DATA_EXTEND | USN_REASON_FILE_CREATE | 0x02000088),
              QLatin1String("USN_REASON_DATA_EXTEND|USN_REASON_FILE_CREATE|USN_REASON_CLOSE"));
}

// One file's life: each signal carries the counter after its change, each
// item the counter before it; a freed run waits on its free list.
TEST_F(ChangeApplyTest, AFilesLifeIsAnnouncedStampedLoggedAndFreed)
{
    build();
    Spies spies(volume.get());
    const qint64 logFrom = ServiceTestKit::logSize();
    const DWORD a = device->createFile(docs, u"one");
    apply();                                   // counter 1 -> 2
    ASSERT_TRUE(device->write(a, 0, 5000));    // refresh, again at the close: 2 -> 4, no signal, no restamp
    apply();
    ASSERT_EQ(spies.appended.count(), 1);
    const ULONGLONG created = spies.appended.at(0).at(0).value<ULONGLONG>();
    ItemRecord* first = resolve(created);
    ASSERT_TRUE(first && ZLockItem(first).isLive());
    EXPECT_EQ(std::make_tuple(first->recordNumber, first->nameSignature, first->fileSize, first->flags & (NoData | NoNameTimes), first->modifyStamp),
              std::make_tuple(a, nameSignatureOf(u"one", 3), 5000ull, 0, 1u));

    ASSERT_TRUE(device->rename(a, u"two"));    // 4 -> 5
    apply();
    ASSERT_EQ(spies.renamed.count(), 1);
    EXPECT_EQ(spies.renamed.at(0).at(0).value<ULONGLONG>(), created);
    const ULONGLONG renamedTo = spies.renamed.at(0).at(1).value<ULONGLONG>();
    ItemRecord* second = resolve(renamedTo);
    ASSERT_TRUE(second && second != first);
    EXPECT_EQ(std::make_tuple(first->flags, first->modifyStamp, second->modifyStamp, second->fileSize),
              std::make_tuple(BYTE(0), 4u, 4u, 5000ull));
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    EXPECT_TRUE(itemCount(a) == 1 && itemNamed(a, "two").record() == second);

    ASSERT_TRUE(device->remove(a));            // 5 -> 6
    apply();
    ASSERT_EQ(spies.removed.count(), 1);
    EXPECT_EQ(spies.removed.at(0).at(0).value<ULONGLONG>(), renamedTo);
    EXPECT_EQ(std::make_tuple(second->flags, second->modifyStamp, itemCount(a)), std::make_tuple(BYTE(0), 5u, size_t(0)));
    EXPECT_FALSE(volume->pool->freeList(ZSharedPool::freeListIndex(second->slotCount)).empty());
    EXPECT_EQ(std::make_tuple(spies.appended.at(0).at(1).value<DWORD>(), spies.renamed.at(0).at(2).value<DWORD>(),
                              spies.removed.at(0).at(1).value<DWORD>(), volume->unsavedChanges.load()),
              std::make_tuple(2u, 5u, 6u, 5));
    for (const char* line : {"69-Add:\"one\" \"USN_REASON_FILE_CREATE\" ",
                             "69-Rename:\"one\" \"two\" \"USN_REASON_RENAME_NEW_NAME\" ",
                             "69-Remove:\"two\" \"USN_REASON_FILE_DELETE\" "})
        EXPECT_TRUE(LogLines::wrote(logFrom, line)) << line << ::testing::PrintToString(LogLines::textsSince(logFrom));

    // A deletion of a name the index lacks changes nothing; one that also
    // carries the new-name bit is a deletion.
    applyRecord(777, docs, u"ghost", USN_REASON_FILE_DELETE);
    EXPECT_EQ(volume->modifyCounter(), 6u);
    applyRecord(readme, docs, u"readme.txt", USN_REASON_FILE_DELETE | USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(std::make_pair(spies.removed.count(), spies.renamed.count()), std::make_pair(2, 1));
    EXPECT_EQ(itemCount(readme), 0u);

    // Nothing is emitted after a stop; the index itself stays right.
    volume->stop();
    const DWORD late = device->createFile(docs, u"late.txt");
    std::vector<BYTE> lateRecord = journalRecord(late, docs, u"late.txt", USN_REASON_FILE_CREATE);
    asUsnRecord(lateRecord)->FileReferenceNumber = device->fileReference(late);
    applyRecord(lateRecord);
    EXPECT_EQ(spies.appended.count(), 1);
    EXPECT_EQ(itemCount(late), 1u);
}

// Records that cannot be filed: a parent the index lacks or that is a file,
// and malformed names, change nothing; a name at an odd offset is read there.
TEST_F(ChangeApplyTest, RecordsThatCannotBeFiledChangeNothingAndNewNamesNeedTheirPendingRename)
{
    build();
    // A folder made while nobody followed the journal is unknown to the index.
    const DWORD hidden = device->createFolder(docs, u"hidden");
    const DWORD moved = device->createFile(hidden, u"note.txt");
    const DWORD cut = device->createFile(docs, u"cut-name.txt");
    skipJournal();
    const qint64 logFrom = ServiceTestKit::logSize();
    const DWORD lost = device->createFile(hidden, u"lost.txt");
    apply();
    EXPECT_EQ(itemCount(lost), 0u);
    EXPECT_TRUE(LogLines::wrote(logFrom, "can't find parent dictionary!\"lost.txt\" "));
    // A name running past the record (the file's real name, whole only in the bytes after it), one
    // before the name field, one longer than a file name can be; a file for a parent.
    std::vector<BYTE> pastEnd = journalRecord(cut, docs, u"cut-name.txt", USN_REASON_FILE_CREATE),
                      early = journalRecord(readme, docs, u"x.txt", USN_REASON_FILE_CREATE);
    asUsnRecord(pastEnd)->RecordLength = DWORD(offsetof(USN_RECORD_V2, FileName)) + 4;
    asUsnRecord(early)->FileNameOffset = 8;
    for (const auto& bad : {pastEnd, early, journalRecord(readme, docs, std::u16string(256, u'a'), USN_REASON_FILE_CREATE),
                            journalRecord(900, readme, u"x", USN_REASON_FILE_CREATE)})
        applyRecord(bad);
    EXPECT_EQ(std::make_tuple(volume->modifyCounter(), itemCount(900)), std::make_tuple(1u, size_t(0)));   // nothing added

    // A file moved out of such a folder into a known one is added.
    ASSERT_TRUE(device->move(moved, music));
    apply();
    EXPECT_TRUE(itemNamed(moved, "note.txt"));
    EXPECT_EQ(pendingRename, volume->recordMap.end());

    // A name placed after some padding, not 8-aligned, is read where the offset says.
    const DWORD file = device->createFile(docs, u"padded.txt");
    skipJournal();
    std::vector<BYTE> padded = journalRecord(file, docs, u"padded.txt", USN_REASON_FILE_CREATE);
    USN_RECORD_V2* r = asUsnRecord(padded);
    std::memmove(padded.data() + 66, padded.data() + r->FileNameOffset, r->FileNameLength);
    r->FileNameOffset = 66;
    r->RecordLength = 66 + r->FileNameLength + 6;
    applyRecord(padded);
    EXPECT_TRUE(itemNamed(file, "padded.txt"));

    // A new name is filed only under the file whose rename is pending; without a pending rename, a
    // new name the index already holds changes nothing.
    const DWORD other = device->createFile(music, u"other.txt");
    apply();
    Spies spies(volume.get());
    const DWORD counter = volume->modifyCounter();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(spies.renamed.count() + spies.appended.count(), 0);
    EXPECT_EQ(volume->modifyCounter(), counter);

    ASSERT_TRUE(device->rename(readme, u"renamed.txt"));
    ASSERT_TRUE(device->rename(other, u"other2.txt"));
    skipJournal();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME);
    ASSERT_NE(pendingRename, volume->recordMap.end());
    applyRecord(other, music, u"other2.txt", USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    // readme keeps its item, and the other file's new name is in the index.
    ASSERT_EQ(itemCount(readme), 1u);
    EXPECT_TRUE(itemNamed(readme, "readme.txt") && itemNamed(other, "other2.txt"));
    indexOf(*volume);   // every entry under its own record number

    // A pending rename survives additions that rehash the map many times over.
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME);
    for (DWORD i = 0; i < 2000; ++i)
        applyRecord(1000 + i, music, u"f" + std::u16string(1, char16_t(u'a' + i % 26)) + u".x", USN_REASON_FILE_CREATE);
    const int renames = spies.renamed.count();
    applyRecord(readme, docs, u"renamed.txt", USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(spies.renamed.count(), renames + 1);
    ASSERT_EQ(itemCount(readme), 1u);
    EXPECT_TRUE(itemNamed(readme, "renamed.txt"));
}

// Refreshes: attribute changes leave the item alone; a data change through
// either hard link refreshes both; a name the file no longer has, or an
// unreadable record, marks the item's times (and data) as not to be trusted.
TEST_F(ChangeApplyTest, RefreshesFollowTheFilesDataWhateverNameTheRecordCarries)
{
    build();
    const DWORD other = device->createFile(docs, u"b.txt");
    ASSERT_TRUE(device->write(other, 0, 10));
    ASSERT_TRUE(device->link(readme, music, u"link.txt"));
    apply();
    const ZLockItem item = itemNamed(readme, "readme.txt"), link = itemNamed(readme, "link.txt");
    const ZLockItem unreadable = itemNamed(other, "b.txt");
    ASSERT_TRUE(item && link && unreadable);
    const DWORD attributeCounter = volume->modifyCounter();
    auto bytes = [&] {
        return QByteArray(reinterpret_cast<const char*>(item.record()), kItemNameOffset + item->nameLength);
    };
    const QByteArray before = bytes();
    ASSERT_TRUE(device->setAttributes(readme, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    apply();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_SECURITY_CHANGE);
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(volume->modifyCounter(), attributeCounter);

    ASSERT_TRUE(device->truncate(readme, 4096));
    skipJournal();
    applyRecord(readme, music, u"link.txt", USN_REASON_DATA_EXTEND);
    for (const ZLockItem& i : {item, link})
        EXPECT_EQ(std::make_tuple(i->fileSize, i->flags & (NoData | NoNameTimes)), std::make_tuple(4096ull, 0));

    // The record's name is no longer among the file's names: the times are
    // not trusted, the size is the file's whatever its names.
    const ULONGLONG changeTime = item->changeTime;
    const DWORD counter = volume->modifyCounter();
    ASSERT_TRUE(device->rename(readme, u"renamed.txt") && device->truncate(readme, 300));
    skipJournal();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_DATA_OVERWRITE);
    EXPECT_EQ(std::make_tuple(item->accessTime, item->changeTime, item->fileSize, int(item->flags), volume->modifyCounter()),
              std::make_tuple(0ull, changeTime, 300ull, InUse | NoNameTimes, counter + 1));

    // Unreadable: the item keeps its size uncounted; an addition has zero size and times.
    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_INVALID_PARAMETER, ZEmulatedNtfsVolume::kUntilCleared);
    const int unsaved = volume->unsavedChanges.load();
    applyRecord(other, docs, u"b.txt", USN_REASON_DATA_EXTEND);
    EXPECT_EQ(std::make_tuple(int(unreadable->flags), unreadable->fileSize, volume->unsavedChanges.load(), volume->modifyCounter()),
              std::make_tuple(InUse | NoNameTimes | NoData, 10ull, unsaved, counter + 1));
    const DWORD file = device->createFile(docs, u"blind.txt");
    apply();
    device->clearFaults();
    const ZLockItem blind = itemNamed(file, "blind.txt");
    ASSERT_TRUE(blind);
    EXPECT_EQ(std::make_tuple(blind->fileSize, blind->changeTime, blind->accessTime, int(blind.flags())),
              std::make_tuple(0ull, 0ull, 0ull, InUse | NoNameTimes | NoData));
}

// Saves come at 100 unsaved changes once the last save is 300 s old, at
// 2,000 at once, and never with a rename half done or a name parked.
// A name dropped in a folder that is gone by the time its record is read,
// its number taken by a new folder that now holds the file's other name
// under the same name: only the parent's whole reference tells them apart.
TEST_F(ChangeApplyTest, ALinkDroppedInAFolderWhoseNumberWasTakenAgainLeavesTheIndex)
{
    build();
    const DWORD gone = device->createFolder(kRoot, u"gone");
    const DWORD file = device->createFile(kRoot, u"h");
    ASSERT_TRUE(device->link(file, gone, u".dot"));
    apply();
    ASSERT_EQ(itemCount(file), 2u);
    ASSERT_TRUE(device->remove(file, gone, u".dot"));
    ASSERT_TRUE(device->remove(gone));
    ASSERT_EQ(device->createFolder(kRoot, u"new"), gone);
    ASSERT_TRUE(device->rename(file, kRoot, u"h", gone, u".dot"));
    apply();
    EXPECT_EQ(itemCount(file), 1u);
    expectIndexIsFresh();
}

TEST_F(ChangeApplyTest, SaveRules)
{
    int serial = 0;
    auto changes = [&](int n) {   // creations in the root, each counted once
        for (int i = 0; i < n; ++i, ++serial)
            applyRecord(DWORD(5000 + serial), kRoot, u"n" + std::u16string(1, char16_t(u'a' + serial % 26)),
                        USN_REASON_FILE_CREATE, USN(100000 + serial));
    };
    build();
    changes(101);   // the 101st sees 100 unsaved, the last save just now
    clock.advance(299 * 1000);
    changes(1);
    EXPECT_EQ(volume->totalChanges, 0);
    clock.advance(1000);
    changes(1);
    // Saved before the record was applied, which then counts anew.
    EXPECT_EQ(std::make_tuple(volume->totalChanges, volume->unsavedChanges.load(), volume->savedUsn, lastSaveTime),
              std::make_tuple(102, 1, USN(100000 + 102), clock.now()));

    build();
    ASSERT_TRUE(device->rename(readme, u"readme2.txt"));
    skipJournal();
    changes(2000);
    EXPECT_EQ(volume->totalChanges, 0);
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME, 99);   // saves, then the rename starts
    EXPECT_EQ(std::make_pair(volume->totalChanges, volume->savedUsn), std::make_pair(2000, USN(99)));
    changes(2000);
    EXPECT_EQ(volume->totalChanges, 2000);
    applyRecord(readme, docs, u"readme2.txt", USN_REASON_RENAME_NEW_NAME, 98);
    EXPECT_EQ(volume->totalChanges, 2000);
    changes(1);
    EXPECT_EQ(volume->totalChanges, 2000 + 2001);

    // Nor while a name waits for its folder: it lives only here, and a start
    // from the saved file would never read it again.
    build();
    constexpr DWORD kLateFolder = 9000;
    applyRecord(kLateFolder + 1, kLateFolder, u"waits.txt", USN_REASON_FILE_CREATE, 97);
    changes(2001);
    EXPECT_EQ(volume->totalChanges, 0);
    applyRecord(kLateFolder, kRoot, u"late", USN_REASON_FILE_DELETE, 96);   // the name goes with its folder
    changes(1);
    EXPECT_GT(volume->totalChanges, 2000);
}

// After any sequence of changes the index equals a fresh enumeration, and the
// signals account for every item that came and went. With files closed at
// each change this holds after every batch; open files pile their reasons
// up, and only their close carries the final sizes and links.
TEST_F(ChangeApplyTest, RandomChangeSequencesMatchAFreshBuild)
{
    for (unsigned seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        const bool autoClose = seed % 2 == 0;
        device->setAutoClose(autoClose);
        build();
        Spies spies(volume.get());
        std::mt19937 rng(seed);
        std::vector<DWORD> folders{kRoot, docs, music}, files{readme};
        int names = 0;
        auto pick = [&](const std::vector<DWORD>& v) { return v[rng() % v.size()]; };
        auto fresh = [&] {
            const int n = names++;
            return std::u16string{u'n', char16_t(u'a' + n % 26), char16_t(u'0' + n / 26 % 10),
                                  char16_t(u'0' + n / 260 % 10)};
        };
        // Removes a random entry of v from index `from` on, if the device agrees.
        auto removeOne = [&](std::vector<DWORD>& v, size_t from) {
            const size_t i = from + rng() % (v.size() - from);
            if (device->remove(v[i]))
                v.erase(v.begin() + long(i));
        };
        // One name of a file with several; its close may carry earlier writes.
        auto unlinkOne = [&] {
            const DWORD f = pick(files);
            ZEmulatedNtfsVolume::FileInfo info;
            if (device->fileInfo(f, info) && info.links.size() > 1) {
                const ZEmulatedNtfsVolume::LinkInfo& l = info.links[rng() % info.links.size()];
                device->remove(f, l.parent, l.name);
            }
        };
        for (int step = 0; step < 150; ++step) {
            unsigned op = rng() % 12;
            if ((op >= 2 && op < 8 && files.empty()) || (op >= 8 && op < 10 && folders.size() <= 3))
                op = 12;   // nothing to change
            switch (op) {
            case 0: if (DWORD f = device->createFile(pick(folders), fresh())) files.push_back(f); break;
            case 1: if (DWORD d = device->createFolder(pick(folders), fresh())) folders.push_back(d); break;
            case 2: device->write(pick(files), rng() % 3000, 1 + rng() % 3000); break;
            case 3: device->rename(pick(files), fresh()); break;
            case 4: device->move(pick(files), pick(folders)); break;
            case 5: device->link(pick(files), pick(folders), fresh()); break;
            case 6: removeOne(files, 0); break;
            case 7: device->truncate(pick(files), rng() % 100); break;
            case 8: device->rename(folders[3 + rng() % (folders.size() - 3)], fresh()); break;
            case 9: removeOne(folders, 3); break;
            case 10: if (!files.empty()) unlinkOne(); break;
            case 11: if (!files.empty()) device->setAttributes(pick(files), FILE_ATTRIBUTE_HIDDEN); break;
            }
            if (rng() % 4 == 0) {
                const int net = spies.appended.count() - spies.removed.count() - int(volume->recordMap.size());
                apply();
                EXPECT_EQ(spies.appended.count() - spies.removed.count() - int(volume->recordMap.size()), net)
                    << "step " << step;
                if (autoClose) {
                    SCOPED_TRACE(step);
                    ASSERT_NO_FATAL_FAILURE(expectIndexIsFresh());
                }
            }
        }
        for (const auto* list : {&files, &folders})
            for (DWORD f : *list)
                device->close(f);
        apply();
        EXPECT_EQ(pendingRename, volume->recordMap.end());
        expectIndexIsFresh();
        volume.reset();
    }
}
