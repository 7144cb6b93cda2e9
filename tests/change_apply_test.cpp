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

#include <QCoreApplication>
#include <QDir>
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
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString name = QFileInfo(exe.symLinkTarget()).fileName();
    return QFileInfo(exe.symLinkTarget()).absolutePath() + QStringLiteral("/log/") + name + QLatin1Char('.') + name
        + QStringLiteral(".log");
}

// The texts of the log lines written since `from` (a file size), without
// their prefixes.
QStringList logTextsSince(qint64 from)
{
    QStringList texts;
    QFile f(logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        return texts;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int end = line.indexOf("] ");
        if (end >= 0)
            texts.append(QString::fromUtf8(line.mid(end + 2)).remove(QLatin1Char('\r')));
    }
    return texts;
}

qint64 logSize()
{
    return QFileInfo(logFilePath()).size();
}

// One live item as a reader sees it.
struct Item {
    DWORD record = 0;
    DWORD parent = 0;
    QString name;
    ULONGLONG size = 0;

    bool operator<(const Item& o) const
    {
        return std::tie(record, parent, name, size) < std::tie(o.record, o.parent, o.name, o.size);
    }
    bool operator==(const Item& o) const
    {
        return std::tie(record, parent, name, size) == std::tie(o.record, o.parent, o.name, o.size);
    }
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
    DirectoryMap pendingParents;
    DirectoryMap knownDirectories;
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
        }
        return fresh;
    }

    // Feeds every journal record written since the last call.
    void apply()
    {
        std::vector<ULONGLONG> buffer(kJournalReadBufferSize / sizeof(ULONGLONG) + 1);
        for (;;) {
            READ_USN_JOURNAL_DATA_V1 request{};
            request.StartUsn = readPosition;
            request.ReasonMask = 0xFFFFFFFFu;
            request.BytesToWaitFor = 0;
            request.Timeout = 0;
            request.UsnJournalID = volume->journalData.UsnJournalID;
            request.MinMajorVersion = 2;
            request.MaxMajorVersion = 2;
            DWORD got = 0;
            ASSERT_TRUE(DeviceIoControl(volume->volumeHandle, FSCTL_READ_USN_JOURNAL, &request, sizeof(request),
                                        buffer.data(), kJournalReadBufferSize, &got, nullptr))
                << GetLastError();
            ASSERT_GE(got, sizeof(USN));
            const BYTE* bytes = reinterpret_cast<const BYTE*>(buffer.data());
            USN next = 0;
            std::memcpy(&next, bytes, sizeof(next));
            for (DWORD pos = sizeof(USN); pos < got;) {
                auto* rec = reinterpret_cast<USN_RECORD_V2*>(const_cast<BYTE*>(bytes) + pos);
                ASSERT_GT(rec->RecordLength, 0u);
                const DWORD record = DWORD(rec->FileReferenceNumber);
                const DWORD fresh = newReasons(record, rec->Reason);
                if (getenv("CHANGE_TRACE"))
                    fprintf(stderr, "rec %u parent %u %s reasons %08x new %08x\n", record,
                            DWORD(rec->ParentFileReferenceNumber),
                            QString::fromUtf16(rec->FileName, rec->FileNameLength / 2).toUtf8().constData(),
                            rec->Reason, fresh);
                if (fresh)
                    volume->applyUsnChange(rec, record, fresh, pendingRename, lastSaveTime);
                pos += rec->RecordLength;
            }
            const bool more = got > sizeof(USN) && next != readPosition;
            readPosition = next;
            if (!more)
                break;
        }
    }

    // Renames readme on the volume without following the journal records of
    // it, so that hand-made records can tell the rename.
    void renameUnseen(const std::u16string& newName)
    {
        ASSERT_TRUE(device->rename(readme, newName));
        readPosition = device->journalState().data.NextUsn;
    }

    // Applies one hand-made record with its reasons as given.
    void applyRecord(JournalRecord& record, DWORD reasons)
    {
        volume->applyUsnChange(record.rec(), DWORD(record.rec()->FileReferenceNumber), reasons, pendingRename,
                               lastSaveTime);
    }

    // The entries of recordMap under a record number.
    std::vector<ZLockItem> itemsOf(DWORD record)
    {
        std::vector<ZLockItem> items;
        auto range = volume->recordMap.equal_range(record);
        for (auto it = range.first; it != range.second; ++it)
            items.emplace_back(it->second);
        return items;
    }

    ZLockItem itemNamed(DWORD record, const QString& name)
    {
        for (ZLockItem item : itemsOf(record)) {
            if (QString::fromUtf8(item.name()) == name)
                return item;
        }
        return ZLockItem();
    }

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

TEST(ReasonText, NamesTheSetBitsInBitOrder)
{
    EXPECT_EQ(ZDriveVolume::reasonText(0), QString());
    EXPECT_EQ(ZDriveVolume::reasonText(USN_REASON_FILE_CREATE), QStringLiteral("USN_REASON_FILE_CREATE"));
    EXPECT_EQ(ZDriveVolume::reasonText(USN_REASON_CLOSE | USN_REASON_DATA_EXTEND | USN_REASON_FILE_CREATE),
              QStringLiteral("USN_REASON_DATA_EXTEND|USN_REASON_FILE_CREATE|USN_REASON_CLOSE"));
    EXPECT_EQ(ZDriveVolume::reasonText(0x01000000 | 0x00800000),
              QStringLiteral("USN_REASON_INTEGRITY_CHANGE|USN_REASON_DESIRED_STORAGE_CLASS_CHANGE"));
    // Bits outside the table are ignored.
    EXPECT_EQ(ZDriveVolume::reasonText(0x8 | 0x80 | 0x02000000), QString());
    EXPECT_EQ(ZDriveVolume::reasonText(0x8 | USN_REASON_RENAME_NEW_NAME), QStringLiteral("USN_REASON_RENAME_NEW_NAME"));
}

TEST_F(ChangeApplyTest, CreatedFileIsAddedWithItsNameParentAttributesAndLaterItsSize)
{
    build();
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);

    const DWORD file = device->createFile(docs, u"a.txt");
    ASSERT_NE(file, 0u);
    apply();
    ASSERT_EQ(appended.count(), 1);
    const ULONGLONG ref = appended.at(0).at(0).value<ULONGLONG>();
    EXPECT_EQ(appended.at(0).at(1).value<DWORD>(), 2u);
    ItemRecord* record = resolve(*volume, ref);
    ASSERT_NE(record, nullptr);
    const ZLockItem item(record);
    EXPECT_TRUE(item.isLive());
    EXPECT_EQ(item.name(), QByteArray("a.txt"));
    EXPECT_EQ(record->recordNumber, file);
    EXPECT_EQ(record->parentRecordNumber, docs);
    EXPECT_EQ(record->attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(record->modifyStamp, 1u); // the counter before the raise
    EXPECT_EQ(record->nameSignature, nameSignatureOf(u"a.txt", 5));
    EXPECT_EQ(itemsOf(file).size(), 1u);

    ASSERT_TRUE(device->write(file, 0, 5000));
    apply();
    EXPECT_EQ(record->fileSize, 5000u);
    EXPECT_EQ(record->flags & (NoData | NoNameTimes), 0);
    EXPECT_EQ(record->modifyStamp, 1u); // a refresh does not restamp
    EXPECT_EQ(appended.count(), 1);
    EXPECT_EQ(volume->modifyCounter(), 3u);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, CreatedFolderTakesChildren)
{
    build();
    const DWORD folder = device->createFolder(music, u"albums");
    const DWORD song = device->createFile(folder, u"song.mp3");
    apply();
    ASSERT_EQ(itemsOf(folder).size(), 1u);
    EXPECT_NE(itemsOf(folder)[0]->attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(itemsOf(song).size(), 1u);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, FileInAFolderTheIndexDoesNotHoldIsNotAdded)
{
    build();
    // A folder made while nobody followed the journal is unknown to the index.
    const DWORD hidden = device->createFolder(docs, u"hidden");
    readPosition = device->journalState().data.NextUsn;
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);
    const DWORD file = device->createFile(hidden, u"lost.txt");
    apply();
    EXPECT_EQ(appended.count(), 0);
    EXPECT_TRUE(itemsOf(file).empty());
    EXPECT_EQ(volume->modifyCounter(), 1u);

    // A parent that is a file is no folder either.
    JournalRecord underFile(900, readme, u"x", USN_REASON_FILE_CREATE);
    applyRecord(underFile, USN_REASON_FILE_CREATE);
    EXPECT_TRUE(itemsOf(900).empty());
}

TEST_F(ChangeApplyTest, DeletedFileIsFreedStampedAndAnnounced)
{
    build();
    const ZLockItem before = itemNamed(readme, QStringLiteral("readme.txt"));
    ASSERT_TRUE(before);
    const ULONGLONG ref = before.itemRef();
    QSignalSpy removed(volume.get(), &ZDriveVolume::itemRemoved);

    ASSERT_TRUE(device->remove(readme));
    apply();
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed.at(0).at(0).value<ULONGLONG>(), ref);
    EXPECT_EQ(removed.at(0).at(1).value<DWORD>(), 2u);
    ItemRecord* record = resolve(*volume, ref);
    EXPECT_EQ(record->flags, 0);
    EXPECT_EQ(record->modifyStamp, 1u);
    EXPECT_TRUE(itemsOf(readme).empty());
    // The run waits on its free list.
    EXPECT_FALSE(volume->pool->freeList(ZSharedPool::freeListIndex(record->slotCount)).empty());

    // A deletion of a file the index does not hold changes nothing.
    JournalRecord unknown(777, docs, u"ghost", USN_REASON_FILE_DELETE);
    applyRecord(unknown, USN_REASON_FILE_DELETE);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(volume->modifyCounter(), 2u);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, DeleteWithNewNameBitIsADeletion)
{
    build();
    QSignalSpy removed(volume.get(), &ZDriveVolume::itemRemoved);
    QSignalSpy renamed(volume.get(), &ZDriveVolume::itemNameChanged);
    JournalRecord rec(readme, docs, u"readme.txt", USN_REASON_FILE_DELETE | USN_REASON_RENAME_NEW_NAME);
    applyRecord(rec, USN_REASON_FILE_DELETE | USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(renamed.count(), 0);
    EXPECT_TRUE(itemsOf(readme).empty());
}

TEST_F(ChangeApplyTest, RenameReplacesTheRecordAndFreesTheOldOneWithTheSameStamp)
{
    build();
    const ULONGLONG oldRef = itemNamed(readme, QStringLiteral("readme.txt")).itemRef();
    const ULONGLONG size = itemNamed(readme, QStringLiteral("readme.txt"))->fileSize;
    QSignalSpy renamed(volume.get(), &ZDriveVolume::itemNameChanged);

    ASSERT_TRUE(device->rename(readme, u"README.md"));
    apply();
    ASSERT_EQ(renamed.count(), 1);
    EXPECT_EQ(renamed.at(0).at(0).value<ULONGLONG>(), oldRef);
    const ULONGLONG newRef = renamed.at(0).at(1).value<ULONGLONG>();
    EXPECT_NE(newRef, oldRef);
    EXPECT_EQ(renamed.at(0).at(2).value<DWORD>(), 2u);

    ItemRecord* oldRecord = resolve(*volume, oldRef);
    ItemRecord* newRecord = resolve(*volume, newRef);
    EXPECT_EQ(oldRecord->flags, 0);
    EXPECT_EQ(ZLockItem(newRecord).name(), QByteArray("README.md"));
    EXPECT_TRUE(ZLockItem(newRecord).isLive());
    EXPECT_EQ(newRecord->modifyStamp, oldRecord->modifyStamp);
    EXPECT_EQ(newRecord->modifyStamp, 1u);
    EXPECT_EQ(newRecord->fileSize, size);
    EXPECT_EQ(newRecord->parentRecordNumber, docs);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    ASSERT_EQ(itemsOf(readme).size(), 1u);
    EXPECT_EQ(itemsOf(readme)[0].record(), newRecord);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, MoveToAnotherFolderGivesTheNewParent)
{
    build();
    ASSERT_TRUE(device->move(readme, music));
    apply();
    ASSERT_EQ(itemsOf(readme).size(), 1u);
    EXPECT_EQ(itemsOf(readme)[0]->parentRecordNumber, music);
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, MoveInFromAFolderTheIndexDoesNotHoldAddsTheFile)
{
    build();
    const DWORD hidden = device->createFolder(docs, u"hidden");
    const DWORD file = device->createFile(hidden, u"note.txt");
    readPosition = device->journalState().data.NextUsn;
    ASSERT_TRUE(device->move(file, music));
    apply();
    ASSERT_EQ(itemsOf(file).size(), 1u);
    EXPECT_EQ(itemsOf(file)[0]->parentRecordNumber, music);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
}

TEST_F(ChangeApplyTest, NewNameOfAnotherFileThanThePendingOneIsNotFiledUnderIt)
{
    build();
    const DWORD other = device->createFile(music, u"other.txt");
    apply();
    renameUnseen(u"renamed.txt");
    JournalRecord oldName(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME);
    applyRecord(oldName, USN_REASON_RENAME_OLD_NAME);
    ASSERT_NE(pendingRename, volume->recordMap.end());
    ASSERT_TRUE(device->rename(other, u"other2.txt"));
    readPosition = device->journalState().data.NextUsn;
    JournalRecord newName(other, music, u"other2.txt", USN_REASON_RENAME_NEW_NAME);
    applyRecord(newName, USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(pendingRename, volume->recordMap.end());
    // readme keeps its item; nothing is filed under its number by mistake,
    // and the other file's new name is in the index.
    ASSERT_EQ(itemsOf(readme).size(), 1u);
    EXPECT_EQ(itemsOf(readme)[0].name(), QByteArray("readme.txt"));
    EXPECT_TRUE(itemNamed(other, QStringLiteral("other2.txt")));
    for (const auto& entry : volume->recordMap)
        EXPECT_EQ(entry.first, entry.second->recordNumber);
}

TEST_F(ChangeApplyTest, PendingRenameSurvivesAdditionsThatGrowTheMap)
{
    build();
    renameUnseen(u"renamed.txt");
    JournalRecord oldName(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME);
    applyRecord(oldName, USN_REASON_RENAME_OLD_NAME);
    // Enough additions to rehash the map many times over.
    for (DWORD i = 0; i < 2000; ++i) {
        JournalRecord created(1000 + i, music, u"f" + std::u16string(1, char16_t(u'a' + i % 26)) + u".x",
                              USN_REASON_FILE_CREATE);
        applyRecord(created, USN_REASON_FILE_CREATE);
    }
    JournalRecord newName(readme, docs, u"renamed.txt", USN_REASON_RENAME_NEW_NAME);
    QSignalSpy renamed(volume.get(), &ZDriveVolume::itemNameChanged);
    applyRecord(newName, USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(renamed.count(), 1);
    ASSERT_EQ(itemsOf(readme).size(), 1u);
    EXPECT_EQ(itemsOf(readme)[0].name(), QByteArray("renamed.txt"));
}

TEST_F(ChangeApplyTest, NewNameWithoutPendingRenameOfAnIndexedNameChangesNothing)
{
    build();
    QSignalSpy renamed(volume.get(), &ZDriveVolume::itemNameChanged);
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);
    JournalRecord rec(readme, docs, u"readme.txt", USN_REASON_RENAME_NEW_NAME);
    applyRecord(rec, USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(renamed.count(), 0);
    EXPECT_EQ(appended.count(), 0);
    EXPECT_EQ(volume->modifyCounter(), 1u);
}

TEST_F(ChangeApplyTest, HardLinkAddsAnItemAndDeletingOneLinkRemovesOnlyThatItem)
{
    build();
    ASSERT_TRUE(device->link(readme, music, u"link.txt"));
    apply();
    ASSERT_EQ(itemsOf(readme).size(), 2u);
    const ZLockItem linked = itemNamed(readme, QStringLiteral("link.txt"));
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->parentRecordNumber, music);
    EXPECT_EQ(linked->fileSize, 100u);
    EXPECT_EQ(indexOf(*volume), freshIndex());

    QSignalSpy removed(volume.get(), &ZDriveVolume::itemRemoved);
    ASSERT_TRUE(device->remove(readme, docs, u"readme.txt"));
    apply();
    ASSERT_EQ(removed.count(), 1);
    ASSERT_EQ(itemsOf(readme).size(), 1u);
    EXPECT_EQ(itemsOf(readme)[0].name(), QByteArray("link.txt"));
    EXPECT_EQ(indexOf(*volume), freshIndex());
}

TEST_F(ChangeApplyTest, DataChangeRefreshesEveryLinkOfTheFile)
{
    build();
    ASSERT_TRUE(device->link(readme, music, u"second.txt"));
    apply();
    const ZLockItem first = itemNamed(readme, QStringLiteral("readme.txt"));
    const ZLockItem second = itemNamed(readme, QStringLiteral("second.txt"));
    ASSERT_TRUE(first && second);

    // A record naming the second link matches the second $FILE_NAME.
    Platform::ZEmulatedNtfsVolume::FileTimes times;
    times.changeTime = 0x01D0000000000001ull;
    times.lastAccessTime = 0x01D0000000000002ull;
    ASSERT_TRUE(device->setTimes(readme, times));
    ASSERT_TRUE(device->truncate(readme, 4096));
    JournalRecord rec(readme, music, u"second.txt", USN_REASON_DATA_EXTEND);
    applyRecord(rec, USN_REASON_DATA_EXTEND);
    EXPECT_EQ(second->fileSize, 4096u);
    EXPECT_EQ(second->flags & (NoData | NoNameTimes), 0);
    // The other link shows the same data.
    EXPECT_EQ(first->fileSize, 4096u);
    EXPECT_EQ(first->flags & (NoData | NoNameTimes), 0);
}

TEST_F(ChangeApplyTest, RefreshWithoutAMatchingNameClearsTheAccessTimeAndMarksTheTimes)
{
    build();
    const ZLockItem item = itemNamed(readme, QStringLiteral("readme.txt"));
    const ULONGLONG changeTime = item->changeTime;
    // The record's name is not among the file's names.
    JournalRecord rec(readme, docs, u"readme.txt", USN_REASON_DATA_OVERWRITE);
    ASSERT_TRUE(device->rename(readme, u"other.txt"));
    readPosition = device->journalState().data.NextUsn;
    applyRecord(rec, USN_REASON_DATA_OVERWRITE);
    EXPECT_EQ(item->accessTime, 0u);
    EXPECT_EQ(item->changeTime, changeTime);
    // The size is the file's whatever its names.
    EXPECT_EQ(item->fileSize, 100u);
    EXPECT_EQ(item->flags, InUse | NoNameTimes);
    EXPECT_EQ(volume->modifyCounter(), 2u);
}

TEST_F(ChangeApplyTest, RefreshOfAnUnreadableRecordMarksTheItemAndIsNotCounted)
{
    build();
    const ZLockItem item = itemNamed(readme, QStringLiteral("readme.txt"));
    const ULONGLONG size = item->fileSize;
    ASSERT_TRUE(device->write(readme, 0, 10));
    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_INVALID_PARAMETER, ZEmulatedNtfsVolume::kUntilCleared);
    apply();
    device->clearFaults();
    EXPECT_EQ(item->flags, InUse | NoNameTimes | NoData);
    EXPECT_EQ(item->fileSize, size);
    EXPECT_EQ(volume->modifyCounter(), 1u);
    EXPECT_EQ(volume->unsavedChanges.load(), 0);
}

TEST_F(ChangeApplyTest, AdditionOfAnUnreadableRecordHasZeroSizeAndTimes)
{
    build();
    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_INVALID_PARAMETER, ZEmulatedNtfsVolume::kUntilCleared);
    const DWORD file = device->createFile(docs, u"blind.txt");
    apply();
    device->clearFaults();
    ASSERT_EQ(itemsOf(file).size(), 1u);
    const ZLockItem item = itemsOf(file)[0];
    EXPECT_EQ(item->fileSize, 0u);
    EXPECT_EQ(item->changeTime, 0u);
    EXPECT_EQ(item->accessTime, 0u);
    EXPECT_EQ(item.flags(), InUse | NoNameTimes | NoData);
}

TEST_F(ChangeApplyTest, AttributeOrSecurityChangesLeaveTheItemAlone)
{
    build();
    const ZLockItem item = itemNamed(readme, QStringLiteral("readme.txt"));
    const QByteArray before(reinterpret_cast<const char*>(item.record()), 56 + item->nameLength);
    ASSERT_TRUE(device->setAttributes(readme, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    apply();
    JournalRecord security(readme, docs, u"readme.txt", USN_REASON_SECURITY_CHANGE);
    applyRecord(security, USN_REASON_SECURITY_CHANGE);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(item.record()), 56 + item->nameLength), before);
    EXPECT_EQ(volume->modifyCounter(), 1u);
}

TEST_F(ChangeApplyTest, SignalsCarryTheCounterAfterTheRaiseRecordsTheOneBefore)
{
    build();
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);
    QSignalSpy removed(volume.get(), &ZDriveVolume::itemRemoved);
    QSignalSpy renamed(volume.get(), &ZDriveVolume::itemNameChanged);
    const DWORD a = device->createFile(docs, u"one");
    apply();                                   // counter 1 -> 2
    ASSERT_TRUE(device->write(a, 0, 1));       // refresh: 2 -> 3, no signal
    apply();
    ASSERT_TRUE(device->rename(a, u"two"));    // 3 -> 4
    apply();
    ASSERT_TRUE(device->remove(a));            // 4 -> 5
    apply();
    ASSERT_EQ(appended.count(), 1);
    ASSERT_EQ(renamed.count(), 1);
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(appended.at(0).at(1).value<DWORD>(), 2u);
    EXPECT_EQ(renamed.at(0).at(2).value<DWORD>(), 4u);
    EXPECT_EQ(removed.at(0).at(1).value<DWORD>(), 5u);
    EXPECT_EQ(resolve(*volume, appended.at(0).at(0).value<ULONGLONG>())->modifyStamp, 3u);  // freed by the rename
    EXPECT_EQ(resolve(*volume, renamed.at(0).at(1).value<ULONGLONG>())->modifyStamp, 4u);   // freed by the deletion
    EXPECT_EQ(removed.at(0).at(0).value<ULONGLONG>(), renamed.at(0).at(1).value<ULONGLONG>());
    EXPECT_EQ(volume->unsavedChanges.load(), 4);
}

TEST_F(ChangeApplyTest, NothingIsEmittedAfterStop)
{
    build();
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);
    volume->stop();
    const DWORD file = device->createFile(docs, u"late.txt");
    apply();
    EXPECT_EQ(appended.count(), 0);
    EXPECT_EQ(itemsOf(file).size(), 1u); // the index itself stays right
}

// The save rules: at 100 unsaved changes only when the last save is 300 s
// old, at 2,000 at once, never with a rename half done.
class SaveCheckTest : public ChangeApplyTest {
protected:
    // n changes that each count once: creations in the root.
    void makeChanges(int n)
    {
        for (int i = 0; i < n; ++i) {
            JournalRecord rec(DWORD(5000 + serial), kRoot, u"n" + std::u16string(1, char16_t(u'a' + serial % 26)),
                              USN_REASON_FILE_CREATE, USN(100000 + serial));
            ++serial;
            applyRecord(rec, USN_REASON_FILE_CREATE);
        }
    }
    int serial = 0;
};

TEST_F(SaveCheckTest, HundredChangesWaitForFiveMinutes)
{
    build();
    makeChanges(101); // the 101st sees 100 unsaved, last save just now
    EXPECT_EQ(volume->unsavedChanges.load(), 101);
    EXPECT_EQ(volume->totalChanges, 0);
    clock.advance(299 * 1000);
    makeChanges(1);
    EXPECT_EQ(volume->unsavedChanges.load(), 102);
    clock.advance(1000);
    makeChanges(1);
    // Saved before the record was applied, which then counts anew.
    EXPECT_EQ(volume->totalChanges, 102);
    EXPECT_EQ(volume->unsavedChanges.load(), 1);
    EXPECT_EQ(volume->savedUsn, USN(100000 + 102));
    EXPECT_EQ(lastSaveTime, clock.now());
}

TEST_F(SaveCheckTest, TwoThousandChangesSaveAtOnce)
{
    build();
    makeChanges(2000);
    EXPECT_EQ(volume->totalChanges, 0);
    makeChanges(1);
    EXPECT_EQ(volume->totalChanges, 2000);
    EXPECT_EQ(volume->unsavedChanges.load(), 1);
    EXPECT_EQ(volume->savedUsn, USN(100000 + 2000));
}

TEST_F(SaveCheckTest, NoSaveWhileARenameIsPending)
{
    build();
    renameUnseen(u"readme2.txt");
    makeChanges(2000);
    JournalRecord oldName(readme, docs, u"readme.txt", USN_REASON_RENAME_OLD_NAME, 99);
    applyRecord(oldName, USN_REASON_RENAME_OLD_NAME); // the save comes first, then the rename starts
    EXPECT_EQ(volume->totalChanges, 2000);
    makeChanges(2000);
    EXPECT_EQ(volume->totalChanges, 2000);
    JournalRecord newName(readme, docs, u"readme2.txt", USN_REASON_RENAME_NEW_NAME, 98);
    applyRecord(newName, USN_REASON_RENAME_NEW_NAME);
    EXPECT_EQ(volume->totalChanges, 2000);
    makeChanges(1);
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
            return u"n" + std::u16string(1, char16_t(u'a' + n % 26)) + std::u16string(1, char16_t(u'0' + n / 26 % 10))
                + std::u16string(1, char16_t(u'0' + n / 260 % 10));
        };
        for (int step = 0; step < 150; ++step) {
            switch (rng() % 10) {
            case 0: {
                if (DWORD f = device->createFile(pick(folders), fresh()))
                    files.push_back(f);
                break;
            }
            case 1: {
                if (DWORD d = device->createFolder(pick(folders), fresh()))
                    folders.push_back(d);
                break;
            }
            case 2:
                if (!files.empty())
                    device->write(pick(files), rng() % 3000, 1 + rng() % 3000);
                break;
            case 3:
                if (!files.empty())
                    device->rename(pick(files), fresh());
                break;
            case 4:
                if (!files.empty())
                    device->move(pick(files), pick(folders));
                break;
            case 5:
                if (!files.empty())
                    device->link(pick(files), pick(folders), fresh());
                break;
            case 6:
                if (!files.empty()) {
                    const size_t i = rng() % files.size();
                    if (device->remove(files[i]))
                        files.erase(files.begin() + long(i));
                }
                break;
            case 7:
                if (!files.empty())
                    device->truncate(pick(files), rng() % 100);
                break;
            case 8:
                if (folders.size() > 3)
                    device->rename(folders[3 + rng() % (folders.size() - 3)], fresh());
                break;
            case 9:
                if (folders.size() > 3) {
                    const size_t i = 3 + rng() % (folders.size() - 3);
                    if (device->remove(folders[i]))
                        folders.erase(folders.begin() + long(i));
                }
                break;
            }
            if (rng() % 4 == 0)
                apply();
        }
        apply();
        EXPECT_EQ(pendingRename, volume->recordMap.end());
        std::vector<Item> have = indexOf(*volume);
        std::vector<Item> want = freshIndex();
        if (!autoClose) {
            // An open file writes a record only for a reason new to it, and
            // its close record brings nothing new: sizes reached after the
            // first record of each kind are not seen until a later change.
            for (auto* items : {&have, &want}) {
                for (Item& i : *items)
                    i.size = 0;
                std::sort(items->begin(), items->end());
            }
        }
        std::vector<Item> extra, missing;
        std::set_difference(have.begin(), have.end(), want.begin(), want.end(), std::back_inserter(extra));
        std::set_difference(want.begin(), want.end(), have.begin(), have.end(), std::back_inserter(missing));
        EXPECT_TRUE(extra.empty()) << ::testing::PrintToString(extra);
        EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
        volume.reset();
    }
}

TEST_F(ChangeApplyTest, LogLinesNameTheDriveTheItemsAndTheReasons)
{
    build();
    const DWORD hidden = device->createFolder(docs, u"hidden");
    readPosition = device->journalState().data.NextUsn;
    const qint64 from = logSize();
    const DWORD file = device->createFile(docs, u"a.txt");
    apply();
    ASSERT_TRUE(device->rename(file, u"b.txt"));
    apply();
    ASSERT_TRUE(device->remove(file));
    apply();
    device->createFile(hidden, u"lost.txt");
    apply();
    const QStringList texts = logTextsSince(from);
    EXPECT_TRUE(texts.contains(QStringLiteral("69-Add:\"a.txt\" \"USN_REASON_FILE_CREATE\" "))) << texts.join('\n').toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("69-Rename:\"a.txt\" \"b.txt\" \"USN_REASON_RENAME_NEW_NAME\" ")));
    EXPECT_TRUE(texts.contains(QStringLiteral("69-Remove:\"b.txt\" \"USN_REASON_FILE_DELETE\" ")));
    EXPECT_TRUE(texts.contains(QStringLiteral("can't find parent dictionary!\"lost.txt\" ")));
}

TEST_F(ChangeApplyTest, MalformedRecordsChangeNothingAndTheNameIsTakenAtItsOffset)
{
    build();
    QSignalSpy appended(volume.get(), &ZDriveVolume::itemAppended);
    // A name running past the record.
    JournalRecord pastEnd(readme, docs, u"x.txt", USN_REASON_FILE_CREATE);
    pastEnd.rec()->FileNameLength = WORD(pastEnd.rec()->RecordLength);
    applyRecord(pastEnd, USN_REASON_FILE_CREATE);
    // A name before the name field, and one longer than a file name can be.
    JournalRecord early(readme, docs, u"x.txt", USN_REASON_FILE_CREATE);
    early.rec()->FileNameOffset = 8;
    applyRecord(early, USN_REASON_FILE_CREATE);
    JournalRecord tooLong(readme, docs, std::u16string(256, u'a'), USN_REASON_FILE_CREATE);
    applyRecord(tooLong, USN_REASON_FILE_CREATE);
    EXPECT_EQ(appended.count(), 0);
    EXPECT_EQ(volume->modifyCounter(), 1u);

    // A name placed after some padding is read where the offset says.
    const DWORD file = device->createFile(docs, u"moved.txt");
    readPosition = device->journalState().data.NextUsn;
    JournalRecord padded(file, docs, u"", USN_REASON_FILE_CREATE);
    const std::u16string name = u"moved.txt";
    USN_RECORD_V2* r = padded.rec();
    r->FileNameOffset = 66; // not 8-aligned: the name is copied out
    r->FileNameLength = WORD(name.size() * sizeof(WCHAR));
    r->RecordLength = 66 + r->FileNameLength + 6;
    std::memcpy(padded.bytes + 66, name.data(), r->FileNameLength);
    applyRecord(padded, USN_REASON_FILE_CREATE);
    ASSERT_EQ(appended.count(), 1);
    EXPECT_EQ(itemsOf(file).size(), 1u);
}
