// Journal changes applied to a drive's index: the index is built from an
// emulated NTFS volume, files are changed through the volume's change
// interface, and the journal records it writes are fed to applyUsnChange
// with the reasons that are new for each file, as the journal monitor does.
#include "platform/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/win32_registry.h"
#include "platform/windows.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"
#include "volume/ZDriveVolume.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

using namespace SearchEngine;
using Platform::ZEmulatedNtfsVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr DWORD kJournalReadBufferSize = 8200;

// DEBUG lines are written: LogLevel 0 before the first statement.
class LogLevelEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        QSettings ini(Platform::registryHivePath(HKEY_LOCAL_MACHINE), QSettings::IniFormat);
        ini.setValue(Platform::registryGroup(QStringLiteral("Software\\Orvanta\\antivirus\\sysopt"))
                         + QStringLiteral("/LogLevel"),
                     0);
        ini.sync();
    }
};
const auto* const kLogLevel = ::testing::AddGlobalTestEnvironment(new LogLevelEnvironment);

// The log file of this program, beside the executable.
QString logFilePath()
{
    const QFileInfo exe(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget());
    return exe.absolutePath() + QStringLiteral("/log/") + exe.fileName() + QLatin1Char('.') + exe.fileName()
        + QStringLiteral(".log");
}

// The texts of the log lines written after the first `from` bytes, without their prefixes.
QStringList logTextsSince(qint64 from)
{
    QStringList texts;
    QFile f(logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        return texts;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.indexOf("] ") >= 0)
            texts.append(QString::fromUtf8(line.mid(line.indexOf("] ") + 2)).remove(QLatin1Char('\r')));
    }
    return texts;
}

// One live item as a reader sees it.
struct Item {
    DWORD record, parent;
    QString name;
    ULONGLONG size;
    auto key() const { return std::tie(record, parent, name, size); }
    bool operator<(const Item& o) const { return key() < o.key(); }
    bool operator==(const Item& o) const { return key() == o.key(); }
};

std::ostream& operator<<(std::ostream& os, const Item& i)
{
    return os << "{" << i.record << " " << i.parent << " " << i.name.toStdString() << " " << i.size << "}";
}

// The index through recordMap; every entry must be a live record filed
// under its own record number.
std::vector<Item> indexOf(ZDriveVolume& v)
{
    std::vector<Item> items;
    for (const auto& entry : v.recordMap) {
        const ZLockItem item(entry.second);
        EXPECT_TRUE(item.isLive());
        EXPECT_EQ(entry.first, item->recordNumber);
        items.push_back({item->recordNumber, item->parentRecordNumber, QString::fromUtf8(item.name()),
                         item->fileSize});
    }
    std::sort(items.begin(), items.end());
    return items;
}

// The record an item reference names, found as a client finds it.
ItemRecord* resolve(ZDriveVolume& v, ULONGLONG itemRef)
{
    EXPECT_EQ(itemRefDrive(itemRef), kDrive);
    ZSharedPiece* piece = v.pool->piece(itemRefPieceNumber(itemRef));
    if (!piece)
        return nullptr;
    return reinterpret_cast<ItemRecord*>(reinterpret_cast<BYTE*>(piece->header())
                                         + slotByteOffset(itemRefSlotIndex(itemRef)));
}

// Builds the index from the MFT as the volume thread does.
void buildIndex(ZDriveVolume& v)
{
    DirectoryMap pendingParents, knownDirectories;
    v.enumerateMft([&](USN_RECORD_V2* rec) { v.addEnumeratedRecord(rec, pendingParents, knownDirectories); });
    v.pruneOrphans(pendingParents, knownDirectories);
    freeDirectoryNodes(knownDirectories, pendingParents);
}

// A hand-made journal record.
struct JournalRecord {
    alignas(8) BYTE bytes[512] = {};
    USN_RECORD_V2* rec() { return reinterpret_cast<USN_RECORD_V2*>(bytes); }

    JournalRecord(DWORD record, DWORD parent, const std::u16string& name, DWORD reasons, USN usn = 0)
    {
        USN_RECORD_V2* r = rec();
        r->FileNameLength = WORD(name.size() * sizeof(WCHAR));
        r->FileNameOffset = WORD(offsetof(USN_RECORD_V2, FileName));
        r->RecordLength = DWORD(offsetof(USN_RECORD_V2, FileName) + r->FileNameLength + 7) & ~7u;
        r->MajorVersion = 2;
        r->FileReferenceNumber = Ntfs::makeFileReference(record, 1);
        r->ParentFileReferenceNumber = Ntfs::makeFileReference(parent, 1);
        r->Usn = usn;
        r->Reason = reasons;
        std::copy(name.begin(), name.end(), r->FileName);
    }
};

class ChangeApplyTest : public ::testing::Test {
protected:
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
        readPosition = device->journalState().data.NextUsn;
        pendingRename = volume->recordMap.end();
        lastSaveTime = clock.now();
        volume->m_modifyCounter = 1;
        reasonsSoFar.clear();
    }

    // The journal monitor's reason filter: the bits new for the file.
    DWORD newReasons(DWORD record, DWORD reasons)
    {
        const DWORD old = reasonsSoFar.count(record) ? reasonsSoFar[record] : 0;
        DWORD fresh = (old != reasons && (old & reasons) == old) ? (reasons & ~old) : reasons;
        reasonsSoFar[record] = reasons;
        if (fresh & USN_REASON_CLOSE) {
            reasonsSoFar.erase(record);
            fresh &= ~DWORD(USN_REASON_CLOSE);
            fresh |= reasons & (USN_REASON_DATA_OVERWRITE | USN_REASON_DATA_EXTEND | USN_REASON_DATA_TRUNCATION
                                | USN_REASON_HARD_LINK_CHANGE);
        }
        return fresh;
    }

    // Feeds every journal record written since the last call.
    void apply()
    {
        std::vector<ULONGLONG> buffer(kJournalReadBufferSize / sizeof(ULONGLONG) + 1);
        const BYTE* bytes = reinterpret_cast<const BYTE*>(buffer.data());
        for (bool more = true; more;) {
            READ_USN_JOURNAL_DATA_V1 request{readPosition, 0xFFFFFFFFu, 0, 0, 0, volume->journalData.UsnJournalID, 2, 2, {}};
            DWORD got = 0;
            ASSERT_TRUE(DeviceIoControl(volume->volumeHandle, FSCTL_READ_USN_JOURNAL, &request, sizeof(request),
                                        buffer.data(), kJournalReadBufferSize, &got, nullptr))
                << GetLastError();
            ASSERT_GE(got, sizeof(USN));
            for (DWORD pos = sizeof(USN); pos < got;) {
                auto* rec = reinterpret_cast<USN_RECORD_V2*>(const_cast<BYTE*>(bytes) + pos);
                ASSERT_GT(rec->RecordLength, 0u);
                if (const DWORD fresh = newReasons(DWORD(rec->FileReferenceNumber), rec->Reason))
                    volume->applyUsnChange(rec, DWORD(rec->FileReferenceNumber), fresh, pendingRename, lastSaveTime);
                pos += rec->RecordLength;
            }
            const USN next = *reinterpret_cast<const USN*>(bytes);
            more = got > sizeof(USN) && next != readPosition;
            readPosition = next;
        }
    }

    // Skips the journal records written so far, so that hand-made records tell the change.
    void skipJournal() { readPosition = device->journalState().data.NextUsn; }

    // Applies one hand-made record with its own reasons.
    void applyRecord(JournalRecord& record)
    {
        volume->applyUsnChange(record.rec(), DWORD(record.rec()->FileReferenceNumber), record.rec()->Reason,
                               pendingRename, lastSaveTime);
    }
    void applyRecord(DWORD record, DWORD parent, const std::u16string& name, DWORD reasons, USN usn = 0)
    {
        JournalRecord r(record, parent, name, reasons, usn);
        applyRecord(r);
    }

    // The number of items of a record, and its item of a name.
    size_t itemCount(DWORD record) { return volume->recordMap.count(record); }
    ZLockItem itemNamed(DWORD record, const QByteArray& name)
    {
        for (auto range = volume->recordMap.equal_range(record); range.first != range.second; ++range.first) {
            if (ZLockItem(range.first->second).name() == name)
                return ZLockItem(range.first->second);
        }
        return ZLockItem();
    }

    // A spy on each change signal.
    struct Spies {
        explicit Spies(ZDriveVolume* v)
            : appended(v, &ZDriveVolume::itemAppended), removed(v, &ZDriveVolume::itemRemoved),
              renamed(v, &ZDriveVolume::itemNameChanged)
        {
        }
        QSignalSpy appended, removed, renamed;
    };

    // A fresh build of the same volume, for comparison.
    std::vector<Item> freshIndex()
    {
        ZDriveVolume other(kDrive);
        EXPECT_EQ(other.initDriveVolume(), 0u);
        buildIndex(other);
        std::vector<Item> items = indexOf(other);
        other.closeVolume();
        return items;
    }

    Platform::ZManualClock clock;
    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    USN readPosition = 0;
    RecordMap::iterator pendingRename;
    QDateTime lastSaveTime;
    std::map<DWORD, DWORD> reasonsSoFar;
    DWORD docs = 0, music = 0, readme = 0;
};

} // namespace

TEST(ReasonText, NamesTheKnownSetBitsInBitOrder)
{
    const std::pair<DWORD, const char*> rows[] = {
        {0, ""},
        {USN_REASON_CLOSE | USN_REASON_DATA_EXTEND | USN_REASON_FILE_CREATE,
         "USN_REASON_DATA_EXTEND|USN_REASON_FILE_CREATE|USN_REASON_CLOSE"},
        {0x01000000 | 0x00800000, "USN_REASON_INTEGRITY_CHANGE|USN_REASON_DESIRED_STORAGE_CLASS_CHANGE"},
        {0x8 | 0x80 | 0x02000000, ""},   // bits outside the table are ignored
        {0x8 | USN_REASON_RENAME_NEW_NAME, "USN_REASON_RENAME_NEW_NAME"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ZDriveVolume::reasonText(r.first), QLatin1String(r.second)) << r.first;
}

TEST_F(ChangeApplyTest, CreationsAreAddedUnderKnownFoldersAndWritesRefreshTheSize)
{
    build();
    Spies spies(volume.get());
    const DWORD file = device->createFile(docs, u"a.txt");
    const DWORD folder = device->createFolder(music, u"albums");
    device->createFile(folder, u"song.mp3");
    apply();
    ASSERT_EQ(spies.appended.count(), 3);
    // The announced reference names the new item, as a client finds it.
    ItemRecord* record = resolve(*volume, spies.appended.at(0).at(0).value<ULONGLONG>());
    ASSERT_TRUE(record && ZLockItem(record).isLive());
    EXPECT_EQ(record->recordNumber, file);
    EXPECT_EQ(record->attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(record->nameSignature, nameSignatureOf(u"a.txt", 5));
    EXPECT_NE(itemNamed(folder, "albums")->attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    ASSERT_TRUE(device->write(file, 0, 5000));
    apply();
    EXPECT_EQ(record->flags & (NoData | NoNameTimes), 0);
    EXPECT_EQ(spies.appended.count(), 3);
    EXPECT_EQ(indexOf(*volume), freshIndex());   // names, parents and sizes
}

TEST_F(ChangeApplyTest, FilesOfFoldersTheIndexDoesNotHold)
{
    build();
    // A folder made while nobody followed the journal is unknown to the index.
    const DWORD hidden = device->createFolder(docs, u"hidden");
    const DWORD moved = device->createFile(hidden, u"note.txt");
    skipJournal();
    Spies spies(volume.get());
    const qint64 logFrom = QFileInfo(logFilePath()).size();
    const DWORD lost = device->createFile(hidden, u"lost.txt");
    apply();
    EXPECT_EQ(spies.appended.count(), 0);
    EXPECT_TRUE(itemCount(lost) == 0);
    EXPECT_TRUE(logTextsSince(logFrom).contains(QStringLiteral("can't find parent dictionary!\"lost.txt\" ")));
    EXPECT_EQ(volume->modifyCounter(), 1u);
    // A parent that is a file is no folder either.
    applyRecord(900, readme, u"x", USN_REASON_FILE_CREATE);
    EXPECT_TRUE(itemCount(900) == 0);

    // A file moved out of such a folder into a known one is added.
    ASSERT_TRUE(device->move(moved, music));
    apply();
    EXPECT_TRUE(itemNamed(moved, "note.txt"));
    EXPECT_EQ(pendingRename, volume->recordMap.end());
}

TEST_F(ChangeApplyTest, DeletionsFreeTheItemAndAnUnknownOneChangesNothing)
{
    build();
    const ULONGLONG ref = itemNamed(readme, "readme.txt").itemRef();
    Spies spies(volume.get());
    ASSERT_TRUE(device->remove(readme));
    apply();
    ASSERT_EQ(spies.removed.count(), 1);
    EXPECT_EQ(spies.removed.at(0).at(0).value<ULONGLONG>(), ref);
    ItemRecord* record = resolve(*volume, ref);
    EXPECT_EQ(record->flags, 0);
    EXPECT_TRUE(itemCount(readme) == 0);
    // The run waits on its free list.
    EXPECT_FALSE(volume->pool->freeList(ZSharedPool::freeListIndex(record->slotCount)).empty());

    applyRecord(777, docs, u"ghost", USN_REASON_FILE_DELETE);
    EXPECT_EQ(spies.removed.count(), 1);
    EXPECT_EQ(volume->modifyCounter(), 2u);
    EXPECT_EQ(indexOf(*volume), freshIndex());

    // A deletion that also carries the new-name bit is a deletion.
    const DWORD other = device->createFile(music, u"other.txt");
    apply();
    applyRecord(other, music, u"other.txt", USN_REASON_FILE_DELETE | USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(spies.removed.count(), 2);
    EXPECT_EQ(spies.renamed.count(), 0);
    EXPECT_TRUE(itemCount(other) == 0);
}

TEST_F(ChangeApplyTest, RenameReplacesTheRecordAndMoveGivesTheNewParent)
{
    build();
    const ZLockItem before = itemNamed(readme, "readme.txt");
    const ULONGLONG oldRef = before.itemRef();
    const ULONGLONG size = before->fileSize;
    Spies spies(volume.get());
    ASSERT_TRUE(device->rename(readme, u"README.md"));
    apply();
    ASSERT_EQ(spies.renamed.count(), 1);
    EXPECT_EQ(spies.renamed.at(0).at(0).value<ULONGLONG>(), oldRef);
    const ULONGLONG newRef = spies.renamed.at(0).at(1).value<ULONGLONG>();
    ASSERT_NE(newRef, oldRef);
    ItemRecord* oldRecord = resolve(*volume, oldRef);
    ItemRecord* newRecord = resolve(*volume, newRef);
    EXPECT_EQ(oldRecord->flags, 0);
    EXPECT_EQ(newRecord->modifyStamp, oldRecord->modifyStamp);
    EXPECT_EQ(newRecord->fileSize, size);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    ASSERT_EQ(itemCount(readme), 1u);
    EXPECT_EQ(itemNamed(readme, "README.md").record(), newRecord);
    EXPECT_EQ(indexOf(*volume), freshIndex());

    ASSERT_TRUE(device->move(readme, music));
    apply();
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, NewNameIsFiledOnlyUnderTheFileWhoseRenameIsPending)
{
    build();
    const DWORD other = device->createFile(music, u"other.txt");
    apply();
    Spies spies(volume.get());
    // Without a pending rename, a new name the index already holds changes nothing.
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(spies.renamed.count(), 0);
    EXPECT_EQ(spies.appended.count(), 0);
    EXPECT_EQ(volume->modifyCounter(), 2u);

    ASSERT_TRUE(device->rename(readme, u"renamed.txt"));
    ASSERT_TRUE(device->rename(other, u"other2.txt"));
    skipJournal();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME);
    ASSERT_NE(pendingRename, volume->recordMap.end());
    applyRecord(other, music, u"other2.txt", USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    // readme keeps its item, and the other file's new name is in the index.
    ASSERT_EQ(itemCount(readme), 1u);
    EXPECT_TRUE(itemNamed(readme, "readme.txt"));
    EXPECT_TRUE(itemNamed(other, "other2.txt"));
    for (const auto& entry : volume->recordMap)
        EXPECT_EQ(entry.first, entry.second->recordNumber);

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

TEST_F(ChangeApplyTest, HardLinksAreItemsOfTheirOwnAndShareTheFilesData)
{
    build();
    ASSERT_TRUE(device->link(readme, music, u"link.txt"));
    apply();
    EXPECT_EQ(indexOf(*volume), freshIndex());
    const ZLockItem first = itemNamed(readme, "readme.txt");
    const ZLockItem second = itemNamed(readme, "link.txt");
    ASSERT_TRUE(first && second);

    // A record naming the second link refreshes both links.
    ASSERT_TRUE(device->truncate(readme, 4096));
    skipJournal();
    applyRecord(readme, music, u"link.txt", USN_REASON_DATA_EXTEND);
    for (const ZLockItem& item : {first, second}) {
        EXPECT_EQ(item->fileSize, 4096u);
        EXPECT_EQ(item->flags & (NoData | NoNameTimes), 0);
    }

    // Deleting one link removes only its item.
    Spies spies(volume.get());
    ASSERT_TRUE(device->remove(readme, docs, u"readme.txt"));
    apply();
    EXPECT_EQ(spies.removed.count(), 1);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, AttributesLeaveTheItemAloneAndARefreshWithoutAMatchingNameOrAReadableRecordMarksIt)
{
    build();
    const DWORD other = device->createFile(docs, u"b.txt");
    ASSERT_TRUE(device->write(other, 0, 10));
    apply();
    const ZLockItem item = itemNamed(readme, "readme.txt");
    const ZLockItem unreadable = itemNamed(other, "b.txt");
    const ULONGLONG changeTime = item->changeTime;
    const DWORD counter = volume->modifyCounter();
    // Attribute and security changes leave the item alone.
    auto bytes = [&] { return QByteArray(reinterpret_cast<const char*>(item.record()), 56 + item->nameLength); };
    const QByteArray before = bytes();
    ASSERT_TRUE(device->setAttributes(readme, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    apply();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_SECURITY_CHANGE);
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(volume->modifyCounter(), counter);

    // The record's name is no longer among the file's names: the access
    // time is cleared, the size is the file's whatever its names.
    ASSERT_TRUE(device->rename(readme, u"renamed.txt"));
    skipJournal();
    applyRecord(readme, docs, u"readme.txt", USN_REASON_DATA_OVERWRITE);
    EXPECT_EQ(item->accessTime, 0u);
    EXPECT_EQ(item->changeTime, changeTime);
    EXPECT_EQ(item->fileSize, 100u);
    EXPECT_EQ(item->flags, InUse | NoNameTimes);
    EXPECT_EQ(volume->modifyCounter(), counter + 1);

    // An unreadable record: the item is marked, its size kept, nothing counted.
    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_INVALID_PARAMETER, ZEmulatedNtfsVolume::kUntilCleared);
    const int unsaved = volume->unsavedChanges.load();
    applyRecord(other, docs, u"b.txt", USN_REASON_DATA_EXTEND);
    EXPECT_EQ(unreadable->flags, InUse | NoNameTimes | NoData);
    EXPECT_EQ(unreadable->fileSize, 10u);
    EXPECT_EQ(volume->modifyCounter(), counter + 1);
    EXPECT_EQ(volume->unsavedChanges.load(), unsaved);

    // An addition of an unreadable record has zero size and times.
    const DWORD file = device->createFile(docs, u"blind.txt");
    apply();
    device->clearFaults();
    ASSERT_EQ(itemCount(file), 1u);
    const ZLockItem blind = itemNamed(file, "blind.txt");
    EXPECT_EQ(blind->fileSize, 0u);
    EXPECT_EQ(blind->changeTime, 0u);
    EXPECT_EQ(blind->accessTime, 0u);
    EXPECT_EQ(blind.flags(), InUse | NoNameTimes | NoData);
}

TEST_F(ChangeApplyTest, SignalsCarryTheCounterAfterTheRaiseRecordsTheOneBeforeLogsNameThemAndStopSilencesThem)
{
    build();
    Spies spies(volume.get());
    const qint64 logFrom = QFileInfo(logFilePath()).size();
    const DWORD a = device->createFile(docs, u"one");
    apply();                                   // counter 1 -> 2
    ASSERT_TRUE(device->write(a, 0, 1));       // refresh, again at the close: 2 -> 4, no signal, no restamp
    apply();
    ASSERT_EQ(spies.appended.count(), 1);
    const ULONGLONG created = spies.appended.at(0).at(0).value<ULONGLONG>();
    EXPECT_EQ(resolve(*volume, created)->modifyStamp, 1u);
    ASSERT_TRUE(device->rename(a, u"two"));    // 4 -> 5
    apply();
    ASSERT_TRUE(device->remove(a));            // 5 -> 6
    apply();
    ASSERT_EQ(spies.renamed.count(), 1);
    ASSERT_EQ(spies.removed.count(), 1);
    EXPECT_EQ(spies.appended.at(0).at(1).value<DWORD>(), 2u);
    EXPECT_EQ(spies.renamed.at(0).at(2).value<DWORD>(), 5u);
    EXPECT_EQ(spies.removed.at(0).at(1).value<DWORD>(), 6u);
    const ULONGLONG renamedTo = spies.renamed.at(0).at(1).value<ULONGLONG>();
    EXPECT_EQ(resolve(*volume, created)->modifyStamp, 4u);    // freed by the rename
    EXPECT_EQ(resolve(*volume, renamedTo)->modifyStamp, 5u);  // freed by the deletion
    EXPECT_EQ(spies.removed.at(0).at(0).value<ULONGLONG>(), renamedTo);
    EXPECT_EQ(volume->unsavedChanges.load(), 5);
    // The log lines name the drive, the items and the reasons.
    const QStringList texts = logTextsSince(logFrom);
    for (const char* line : {"69-Add:\"one\" \"USN_REASON_FILE_CREATE\" ",
                             "69-Rename:\"one\" \"two\" \"USN_REASON_RENAME_NEW_NAME\" ",
                             "69-Remove:\"two\" \"USN_REASON_FILE_DELETE\" "})
        EXPECT_TRUE(texts.contains(QLatin1String(line))) << line << "\n" << texts.join('\n').toStdString();

    // Nothing is emitted after a stop; the index itself stays right.
    volume->stop();
    const DWORD late = device->createFile(docs, u"late.txt");
    apply();
    EXPECT_EQ(spies.appended.count(), 1);
    EXPECT_EQ(itemCount(late), 1u);
}

// Saves come at 100 unsaved changes once the last save is 300 s old, at
// 2,000 at once, and never with a rename half done.
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
    EXPECT_EQ(volume->unsavedChanges.load(), 102);
    clock.advance(1000);
    changes(1);
    // Saved before the record was applied, which then counts anew.
    EXPECT_EQ(volume->totalChanges, 102);
    EXPECT_EQ(volume->unsavedChanges.load(), 1);
    EXPECT_EQ(volume->savedUsn, USN(100000 + 102));
    EXPECT_EQ(lastSaveTime, clock.now());

    build();
    serial = 0;
    changes(2000);
    EXPECT_EQ(volume->totalChanges, 0);
    changes(1);
    EXPECT_EQ(volume->totalChanges, 2000);
    EXPECT_EQ(volume->unsavedChanges.load(), 1);
    EXPECT_EQ(volume->savedUsn, USN(100000 + 2000));

    build();
    ASSERT_TRUE(device->rename(readme, u"readme2.txt"));
    skipJournal();
    changes(2000);
    applyRecord(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME, 99);   // saves, then the rename starts
    EXPECT_EQ(volume->totalChanges, 2000);
    changes(2000);
    EXPECT_EQ(volume->totalChanges, 2000);
    applyRecord(readme, docs, u"readme2.txt", USN_REASON_RENAME_NEW_NAME, 98);
    EXPECT_EQ(volume->totalChanges, 2000);
    changes(1);
    EXPECT_EQ(volume->totalChanges, 2000 + 2001);
}

// After any sequence of changes the index equals a fresh enumeration.
TEST_F(ChangeApplyTest, RandomChangeSequencesMatchAFreshBuild)
{
    for (unsigned seed = 1; seed <= 16; ++seed) {
        SCOPED_TRACE(seed);
        // Half the runs leave files open, so reasons pile up across changes.
        const bool autoClose = seed % 2 == 0;
        device->setAutoClose(autoClose);
        build();
        std::mt19937 rng(seed);
        std::vector<DWORD> folders{kRoot, docs, music};
        std::vector<DWORD> files{readme};
        int names = 0;
        auto pick = [&](const std::vector<DWORD>& v) { return v[rng() % v.size()]; };
        auto fresh = [&] {
            const int n = names++;
            return u"n" + std::u16string{char16_t(u'a' + n % 26), char16_t(u'0' + n / 26 % 10), char16_t(u'0' + n / 260 % 10)};
        };
        // Removes a random entry of v from index `from` on, if the device agrees.
        auto removeOne = [&](std::vector<DWORD>& v, size_t from) {
            const size_t i = from + rng() % (v.size() - from);
            if (device->remove(v[i]))
                v.erase(v.begin() + long(i));
        };
        for (int step = 0; step < 150; ++step) {
            const unsigned op = rng() % 10;
            if (op == 0) {
                if (DWORD f = device->createFile(pick(folders), fresh()))
                    files.push_back(f);
            } else if (op == 1) {
                if (DWORD d = device->createFolder(pick(folders), fresh()))
                    folders.push_back(d);
            } else if (op < 8 && !files.empty()) {
                switch (op) {
                case 2: device->write(pick(files), rng() % 3000, 1 + rng() % 3000); break;
                case 3: device->rename(pick(files), fresh()); break;
                case 4: device->move(pick(files), pick(folders)); break;
                case 5: device->link(pick(files), pick(folders), fresh()); break;
                case 6: removeOne(files, 0); break;
                case 7: device->truncate(pick(files), rng() % 100); break;
                }
            } else if (op >= 8 && folders.size() > 3) {
                if (op == 8)
                    device->rename(folders[3 + rng() % (folders.size() - 3)], fresh());
                else
                    removeOne(folders, 3);
            }
            if (rng() % 4 == 0)
                apply();
        }
        // An open file writes a record only for a reason new to it; its
        // close carries the final sizes and links.
        for (const auto* list : {&files, &folders})
            for (DWORD f : *list)
                device->close(f);
        apply();
        EXPECT_EQ(pendingRename, volume->recordMap.end());
        std::vector<Item> have = indexOf(*volume), want = freshIndex();
        std::vector<Item> extra, missing;
        std::set_difference(have.begin(), have.end(), want.begin(), want.end(), std::back_inserter(extra));
        std::set_difference(want.begin(), want.end(), have.begin(), have.end(), std::back_inserter(missing));
        EXPECT_TRUE(extra.empty()) << ::testing::PrintToString(extra);
        EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
        volume.reset();
    }
}

TEST_F(ChangeApplyTest, MalformedRecordsChangeNothingAndTheNameIsTakenAtItsOffset)
{
    build();
    Spies spies(volume.get());
    // A name running past the record, one before the name field, one longer than a file name can be.
    JournalRecord pastEnd(readme, docs, u"x.txt", USN_REASON_FILE_CREATE);
    pastEnd.rec()->FileNameLength = WORD(pastEnd.rec()->RecordLength);
    JournalRecord early(readme, docs, u"x.txt", USN_REASON_FILE_CREATE);
    early.rec()->FileNameOffset = 8;
    JournalRecord tooLong(readme, docs, std::u16string(256, u'a'), USN_REASON_FILE_CREATE);
    for (JournalRecord* bad : {&pastEnd, &early, &tooLong})
        applyRecord(*bad);
    EXPECT_EQ(spies.appended.count(), 0);
    EXPECT_EQ(volume->modifyCounter(), 1u);

    // A name placed after some padding, not 8-aligned, is read where the offset says.
    const DWORD file = device->createFile(docs, u"moved.txt");
    skipJournal();
    JournalRecord padded(file, docs, u"", USN_REASON_FILE_CREATE);
    const std::u16string name = u"moved.txt";
    USN_RECORD_V2* r = padded.rec();
    r->FileNameOffset = 66;
    r->FileNameLength = WORD(name.size() * sizeof(WCHAR));
    r->RecordLength = 66 + r->FileNameLength + 6;
    std::memcpy(padded.bytes + 66, name.data(), r->FileNameLength);
    applyRecord(padded);
    ASSERT_EQ(spies.appended.count(), 1);
    EXPECT_EQ(itemCount(file), 1u);
}
