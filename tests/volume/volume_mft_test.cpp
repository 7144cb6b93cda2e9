// A drive's volume opened (the journal in its states, each failing step, the
// record read) and its index built from the MFT: the items and their fields,
// attribute lists in both forms, the directory tree, malformed file records.
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "ntfs/ZNtfsRecord.h"
#include "platform/windows.h"
#include "storage/ZItemRecord.h"
#include "volume/ZDriveVolume.h"
#include "support/ZIndexBuild.h"
#include "support/ZLogLines.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <QString>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using Vol = Platform::ZEmulatedNtfsVolume;
using SearchEngine::DirectoryMap;
using SearchEngine::DirectoryNode;
using SearchEngine::ItemRecord;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr ULONGLONG kMiB = 1024 * 1024;
using Lines = std::vector<std::string>;

std::string utf8(const std::u16string& s) { return QString::fromStdU16String(s).toStdString(); }

// A file's size, the runs of its $DATA, and a forced attribute list: its form, records and runs.
Vol::CreateOptions sized(ULONGLONG size, DWORD dataRuns = 1, Vol::AttributeListForm list = Vol::AttributeListForm::Automatic,
                         DWORD extensionRecords = 1, DWORD listRuns = 1)
{
    Vol::CreateOptions o;
    std::tie(o.size, o.dataRuns, o.attributeList, o.extensionRecords, o.attributeListRuns) =
        std::tie(size, dataRuns, list, extensionRecords, listRuns);
    return o;
}

// Offset of the first attribute of a type in a sound record, or 0.
DWORD attributeOffset(const std::vector<BYTE>& record, DWORD type)
{
    Platform::ZNtfsAttributeWalk walk(record.data(), record.size());
    while (const Ntfs::AttributeHeader* a = walk.next())
        if (a->type == type)
            return DWORD(reinterpret_cast<const BYTE*>(a) - record.data());
    return 0;
}

// The low `width` bytes of a little-endian value at offset.
void poke(std::vector<BYTE>& r, size_t at, size_t width, ULONGLONG value) { std::memcpy(&r[at], &value, width); }
ULONGLONG peek(const std::vector<BYTE>& record, size_t offset, size_t width)
{
    ULONGLONG value = 0;
    return std::memcpy(&value, &record[offset], width), value;
}

// A copy of an item's fields (the record map's slots are packed).
struct Item {
    DWORD record, parent, attributes;
    ULONGLONG size, changeTime, accessTime, signature;
    DWORD modifyStamp;
    BYTE flags;
    int slotCount;
    std::string name;
};

class MftEnumeration : public ::testing::Test {
protected:
    void install(const Vol::Options& options = Vol::Options())
    {
        index.reset();
        device = std::make_shared<Vol>(options);
        index = std::make_unique<TestSupport::ZIndexBuild>(kDrive, device);
        volume = index->volume.get();
    }
    void open() { ASSERT_TRUE(index->open()); }
    void build() { index->build(); }
    void TearDown() override { index.reset(); }

    // The items of one record (of every record with `all`).
    std::vector<Item> itemsOf(DWORD record, bool all = false) const
    {
        std::vector<Item> out;
        for (const auto& entry : volume->recordMap) {
            const ItemRecord* r = entry.second;
            EXPECT_EQ(entry.first, r->recordNumber);
            if (all || r->recordNumber == record)
                out.push_back({r->recordNumber, r->parentRecordNumber, r->attributes, r->fileSize, r->changeTime,
                               r->accessTime, r->nameSignature, r->modifyStamp, r->flags, r->slotCount,
                               std::string(r->nameBytes(), r->nameLength)});
        }
        return out;
    }
    Item only(DWORD record) const
    {
        const auto found = itemsOf(record);
        EXPECT_EQ(found.size(), 1u) << "record " << record;
        return found.empty() ? Item() : found.front();
    }

    // Closing after any outcome, twice, leaves nothing open.
    void expectClosesCleanly()
    {
        volume->closeVolume();
        volume->closeVolume();
        EXPECT_TRUE(!volume->volumeHandle && volume->recordBuffers.empty() && !volume->clusterBuffer);
    }
    void expectJournal(ULONGLONG maximum, ULONGLONG delta)
    {
        const auto j = device->journalState();
        EXPECT_EQ(std::make_tuple(j.active, j.deleting, j.data.MaximumSize, j.data.AllocationDelta),
                  std::make_tuple(true, false, maximum, delta));
        EXPECT_EQ(std::make_pair(volume->journalData.UsnJournalID, volume->journalData.NextUsn),
                  std::make_pair(j.data.UsnJournalID, j.data.NextUsn));
    }

    std::shared_ptr<Vol> device;
    std::unique_ptr<TestSupport::ZIndexBuild> index;
    ZDriveVolume* volume = nullptr;
};

// A directory met before its parent hangs under a placeholder, which stays if the parent cannot be
// read; nodes of any shape (a folder's second name, a parent cycle) are filed and all freed once.
TEST_F(MftEnumeration, DirectoriesOfAnyShapeHangUnderTheirParentsOrPlaceholders)
{
    install();
    const DWORD child = device->createFolder(kRoot, u"child");
    const DWORD parent = device->createFolder(kRoot, u"parent");
    ASSERT_LT(child, parent);
    ASSERT_TRUE(device->move(child, parent));
    const DWORD file = device->createFile(child, u"inside.txt");
    const DWORD lost = device->createFolder(kRoot, u"lost");
    const DWORD below = device->createFolder(lost, u"below");
    open();
    device->redirectRecord(lost, kRoot);
    build();

    ASSERT_EQ(index->pending.size(), 2);
    DirectoryNode* top = index->pending.value(kRoot);
    DirectoryNode* rootNode = index->known.value(kRoot);
    DirectoryNode* childNode = index->known.value(child);
    DirectoryNode* parentNode = index->known.value(parent);
    ASSERT_TRUE(top && rootNode && childNode && parentNode);
    EXPECT_EQ(top->children, QList<DirectoryNode*>{rootNode});
    EXPECT_EQ(parentNode->children, QList<DirectoryNode*>{childNode});
    EXPECT_EQ(std::make_tuple(rootNode->parent, childNode->parent, parentNode->parent, parentNode->item->recordNumber),
              std::make_tuple(top, parentNode, rootNode, parent));
    EXPECT_FALSE(index->known.contains(file));
    EXPECT_EQ(only(file).parent, child);
    EXPECT_TRUE(itemsOf(lost).empty());
    ASSERT_TRUE(index->pending.contains(lost));
    EXPECT_EQ(index->pending.value(lost)->item, nullptr);
    EXPECT_EQ(index->pending.value(lost)->children, QList<DirectoryNode*>{index->known.value(below)});
    SearchEngine::freeDirectoryNodes(index->known, index->pending);

    ItemRecord records[3]{};
    const DWORD shapes[3][3] = {{30, 31, FILE_ATTRIBUTE_DIRECTORY}, // 30 and 31 name each other
                                {31, 30, FILE_ATTRIBUTE_DIRECTORY},
                                {30, kRoot, FILE_ATTRIBUTE_DIRECTORY}}; // a second name of 30
    for (int i = 0; i < 3; ++i) {
        std::tie(records[i].recordNumber, records[i].parentRecordNumber, records[i].attributes) =
            std::tie(shapes[i][0], shapes[i][1], shapes[i][2]);
        volume->addDirectoryNode(index->known, index->pending, &records[i]);
    }
    ASSERT_TRUE(index->known.contains(30) && index->known.contains(31));
    // 31's parent is the first node of 30.
    EXPECT_EQ(std::make_tuple(index->known.value(30)->item, index->known.value(31)->item,
                              index->known.value(31)->parent->item),
              std::make_tuple(&records[2], &records[1], &records[0]));
    EXPECT_EQ(index->pending.keys(), QList<uint>{kRoot});
    SearchEngine::freeDirectoryNodes(index->known, index->pending);
    EXPECT_TRUE(index->known.isEmpty() && index->pending.isEmpty());
}

// Listed metafiles hang under the root (the records in use are the random tree's). A failing
// enumeration ends the walk; an unreadable list cluster leaves the base record's parts.
TEST_F(MftEnumeration, TheWalkTakesListedMetafilesAndSurvivesFailures)
{
    Vol::Options metafiles;
    metafiles.enumerateMetafiles = true;
    install(metafiles);
    open();
    build();
    const Item mft = only(Ntfs::RecordMft);
    EXPECT_EQ(std::make_pair(mft.name, mft.parent), std::make_pair(std::string("$MFT"), kRoot));

    install();
    device->createFile(kRoot, u"a.txt");
    open();
    device->failCall(FSCTL_ENUM_USN_DATA, ERROR_INVALID_FUNCTION);
    build();
    EXPECT_TRUE(volume->recordMap.empty());

    install();
    const DWORD listed = device->createFile(kRoot, u"listed.txt", sized(100, 1, Vol::AttributeListForm::NonResident, 2));
    open();
    device->failCall(Vol::CallRead, ERROR_READ_FAULT, Vol::kUntilCleared);
    build();
    device->clearFaults();
    for (const Item& i : itemsOf(listed))
        EXPECT_EQ(i.name, "listed.txt");
}

// A random tree over several enumeration calls, names of every form and files spread over extension
// records: one item per non-DOS name with its parent, size (from the $DATA that carries it), attributes,
// times (no change stamp yet), folder flags and name signature; each record read once. What changed
// after the journal's position was taken is read as it is now: a folder renamed then keeps what
// lies in it (the journal brings back only the folder).
TEST_F(MftEnumeration, ARandomTreeIsIndexedExactly)
{
    Vol::Options options;
    options.bytesPerCluster = 512; // attribute lists of several clusters, entries across boundaries
    install(options);
    using Entry = std::tuple<DWORD, DWORD, std::string, ULONGLONG, BYTE>;
    const BYTE file = SearchEngine::InUse, folder = SearchEngine::InUse | SearchEngine::NoData;
    std::multiset<Entry> expected{{kRoot, kRoot, ".", 0, folder}}; // the root names itself as its parent
    std::vector<DWORD> folders{kRoot};
    std::vector<std::pair<DWORD, ULONGLONG>> files;
    // An empty file still has its (resident, empty) $DATA.
    const struct {
        std::u16string name, dosName;
        Vol::NameForm form;
    } forms[] = {{u"Long File Name.txt", u"LONGFI~1.TXT", Vol::NameForm::Automatic},
                 {u"README.TXT", u"", Vol::NameForm::Win32AndDos},
                 {u"makefile", u"", Vol::NameForm::Posix},
                 {u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600.txt", u"", Vol::NameForm::Automatic}};
    for (const auto& f : forms) {
        Vol::CreateOptions create;
        create.dosName = f.dosName;
        create.nameForm = f.form;
        files.emplace_back(device->createFile(kRoot, f.name, create), 0);
        ASSERT_NE(files.back().first, 0u);
        expected.emplace(files.back().first, kRoot, utf8(f.name), 0, file);
    }
    using Form = Vol::AttributeListForm;
    const std::tuple<Form, DWORD, DWORD> spreads[] = {
        {Form::Resident, 1, 1}, {Form::Resident, 3, 1}, {Form::NonResident, 1, 1}, {Form::NonResident, 4, 3}};
    for (const auto& [form, extensionRecords, listRuns] : spreads) {
        const QString prefix = QStringLiteral("spread-%1").arg(folders.size());
        const DWORD at = folders.emplace_back(device->createFolder(kRoot, prefix.toStdU16String()));
        expected.emplace(at, kRoot, prefix.toStdString(), 0, folder);
        const Vol::CreateOptions create = sized(300 * 1024, 7, form, extensionRecords, listRuns);
        const DWORD spread = device->createFile(at, u"name-00.bin", create);
        ASSERT_NE(spread, 0u);
        expected.emplace(spread, at, "name-00.bin", 300 * 1024, file);
        // A resident list must fit in the base record; a non-resident one spans clusters and runs.
        for (int i = 1; i < (form == Form::Resident ? 20 : 60); ++i) {
            const QString name = prefix + QStringLiteral("-name-%1.bin").arg(i, 2, 10, QLatin1Char('0'));
            ASSERT_TRUE(device->link(spread, i % 2 ? at : kRoot, name.toStdU16String()));
            expected.emplace(spread, i % 2 ? at : kRoot, name.toStdString(), 300 * 1024, file);
        }
        // Named streams make list entries of other lengths than 32 bytes.
        ASSERT_TRUE(device->setStream(spread, u"extra", 10) && device->setStream(spread, u"more-extra", 20));
        ASSERT_TRUE(device->setAttributeListForm(spread, form, extensionRecords, listRuns));
        Vol::FileInfo info;
        ASSERT_TRUE(device->fileInfo(spread, info) && !info.extensionRecords.empty()
                    && info.nonResidentAttributeList == (form == Form::NonResident));
        const DWORD tiny = device->createFile(at, u"tiny.txt", sized(10, 7, form, extensionRecords, listRuns));
        ASSERT_NE(tiny, 0u);
        expected.emplace(tiny, at, "tiny.txt", 10, file);
    }
    const DWORD gone = device->createFile(kRoot, u"gone.txt");
    std::mt19937 random(20261206);
    for (int i = 0; i < 7000; ++i) {
        const DWORD parent = folders[random() % folders.size()];
        const std::u16string name = QStringLiteral("n%1-%2").arg(i).arg(random() % 100000).toStdU16String();
        const int kind = int(random() % 100);
        if (kind < 15) {
            folders.push_back(device->createFolder(parent, name));
            ASSERT_NE(folders.back(), 0u);
            expected.emplace(folders.back(), parent, utf8(name), 0, folder);
        } else if (kind < 18) {
            const auto [linked, size] = files[random() % files.size()];
            ASSERT_TRUE(device->link(linked, parent, name));
            expected.emplace(linked, parent, utf8(name), size, file);
        } else {
            const ULONGLONG size = random() % 4 == 0 ? random() % 5000000 : random() % 700;
            files.emplace_back(device->createFile(parent, name, sized(size)), size);
            ASSERT_NE(files.back().first, 0u);
            expected.emplace(files.back().first, parent, utf8(name), size, file);
        }
    }
    ASSERT_TRUE(device->remove(gone));
    open();
    const DWORD later = device->createFile(kRoot, u"later.txt");
    expected.emplace(later, kRoot, "later.txt", 0, file);
    // A folder with names in it, renamed after the open.
    const auto holds = [&](DWORD f) {
        return std::any_of(expected.begin(), expected.end(), [&](const Entry& e) { return std::get<1>(e) == f; });
    };
    const auto last = std::find_if(folders.rbegin(), folders.rend(), [&](DWORD f) { return f != kRoot && holds(f); });
    ASSERT_NE(last, folders.rend());
    const DWORD renamed = *last;
    const auto was = std::find_if(expected.begin(), expected.end(), [&](const Entry& e) { return std::get<0>(e) == renamed; });
    ASSERT_NE(was, expected.end());
    Entry now = *was;
    std::get<2>(now) = "renamed later";
    expected.erase(was);
    expected.insert(now);
    ASSERT_TRUE(device->rename(renamed, u"renamed later"));
    build();
    EXPECT_GT(device->callCount(FSCTL_ENUM_USN_DATA), 2u);
    std::multiset<Entry> indexed;
    std::set<DWORD> records;
    size_t recordsRead = 0;
    for (const Item& i : itemsOf(0, true)) {
        indexed.emplace(i.record, i.parent, i.name, i.size, i.flags);
        Vol::FileInfo info;
        ASSERT_TRUE(device->fileInfo(i.record, info));
        if (records.insert(i.record).second)
            recordsRead += 1 + info.extensionRecords.size();
        EXPECT_EQ(std::tie(i.attributes, i.changeTime, i.accessTime, i.modifyStamp),
                  std::make_tuple(info.attributes, info.times.changeTime, info.times.lastAccessTime, DWORD(0)))
            << i.name;
        const std::u16string wide = QString::fromStdString(i.name).toStdU16String();
        EXPECT_EQ(i.signature, SearchEngine::nameSignatureOf(wide.data(), int(wide.size()))) << i.name;
        EXPECT_EQ(i.slotCount, SearchEngine::slotsForNameLength(int(i.name.size()))) << i.name;
    }
    EXPECT_TRUE(indexed == expected);
    EXPECT_EQ(device->callCount(FSCTL_GET_NTFS_FILE_RECORD), recordsRead);
    EXPECT_EQ(index->known.size(), int(folders.size()));
    EXPECT_EQ(index->pending.keys(), QList<uint>{kRoot});
}

// Opening with the journal in each state, and each failing step: its result,
// its log lines, what stays open, and that no later step ran and no stale
// journal is taken. An active journal is only read; a missing one is created;
// one being deleted is awaited and created larger. Then the record read, and a recreated journal.
TEST_F(MftEnumeration, EachJournalStateEachFailingStepTheRecordReadAndARecreation)
{
    const std::string failed = "init drive volume failed -- ", notNtfs = failed + "not NTFS drive!!!";
    constexpr DWORD ok = ZDriveVolume::InitOk, journalFailed = ZDriveVolume::InitJournalFailed;
    const struct {
        const char16_t* fileSystem;
        bool active, deleting;
        DWORD failedCall, error, result;
        bool handleKept;
        ULONGLONG queries, creates, deletes, maximum; // the journal's size after success, 0 on failure
        Lines log;
    } cases[] = {
        {u"NTFS", true, false, 0, 0, ok, true, 1, 0, 0, 2 * kMiB, {}},
        {u"NTFS", false, false, 0, 0, ok, true, 2, 1, 0, 8 * kMiB, {failed + "FSCTL_QUERY_USN_JOURNAL:1179"}},
        {u"NTFS", true, true, 0, 0, ok, true, 2, 1, 1, 32 * kMiB, {failed + "FSCTL_QUERY_USN_JOURNAL:1178"}},
        // Another file system, another case, a longer or a shorter name.
        {u"FAT32", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"ntfs", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTFS5", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTF", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTFS", true, false, Vol::CallOpen, ERROR_ACCESS_DENIED, ZDriveVolume::InitOpenFailed, false,
         0, 0, 0, 0, {failed + "open drive file!!!"}},
        {u"NTFS", true, false, FSCTL_GET_NTFS_VOLUME_DATA, ERROR_INVALID_FUNCTION, ZDriveVolume::InitVolumeDataFailed,
         true, 0, 0, 0, 0, {failed + "FSCTL_GET_NTFS_VOLUME_DATA:1"}},
        {u"NTFS", true, false, FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION, journalFailed, true, 1, 0, 0, 0,
         {failed + "FSCTL_QUERY_USN_JOURNAL:1", "init usn journal failed: 1"}},
        // The creation's error is the one reported.
        {u"NTFS", false, false, FSCTL_CREATE_USN_JOURNAL, ERROR_ACCESS_DENIED, journalFailed, true, 1, 1, 0, 0,
         {failed + "FSCTL_QUERY_USN_JOURNAL:1179", "init usn journal failed: 5"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        Vol::Options options;
        options.fileSystemName = c.fileSystem;
        options.journalActive = c.active;
        options.journalMaximumSize = 2 * kMiB; // unlike either size the volume code asks for
        options.journalAllocationDelta = kMiB / 4;
        install(options);
        const qint64 logMark = ServiceTestKit::logSize();
        if (c.deleting)
            device->beginJournalDeletion();
        if (c.failedCall)
            device->failCall(c.failedCall, c.error);
        EXPECT_EQ(volume->initDriveVolume(), c.result);
        EXPECT_EQ(c.error ? GetLastError() : 0u, c.error);
        EXPECT_EQ(std::make_tuple(volume->volumeHandle != nullptr, device->callCount(Vol::CallOpen),
                                  device->callCount(FSCTL_QUERY_USN_JOURNAL), device->callCount(FSCTL_CREATE_USN_JOURNAL),
                                  device->callCount(FSCTL_DELETE_USN_JOURNAL)),
                  std::make_tuple(c.handleKept, c.result == ZDriveVolume::InitNotNtfs ? 0ull : 1ull, c.queries,
                                  c.creates, c.deletes));
        EXPECT_EQ(volume->journalData.UsnJournalID != 0, c.maximum != 0);
        if (c.maximum) {
            EXPECT_EQ(volume->volumeData.BytesPerCluster, device->volumeData().BytesPerCluster);
            EXPECT_NE(volume->clusterBuffer, nullptr);
            expectJournal(c.maximum, c.maximum / 8);
        }
        EXPECT_EQ(LogLines::threadErrorsSince(logMark), c.log);
        expectClosesCleanly();
    }

    // A letter with nothing behind it.
    ZDriveVolume absent(u'Q');
    EXPECT_EQ(absent.initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs));
    absent.closeVolume();

    // The record read yields only the record asked for.
    install();
    EXPECT_FALSE(volume->growRecordBuffers(1)); // no geometry yet
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORD kept = device->createFile(kRoot, u"kept.txt");
    const DWORD gone = device->createFile(kRoot, u"gone.txt");
    ASSERT_TRUE(kept && gone && device->remove(gone));
    ASSERT_TRUE(volume->growRecordBuffers(2));
    EXPECT_EQ(volume->readFileRecord(kept, 2), nullptr); // no such block
    const BYTE* record = volume->readFileRecord(kept, 1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, volume->recordBuffers[1] + 12);
    Ntfs::FileRecordHeader header;
    std::memcpy(&header, record, sizeof(header));
    EXPECT_EQ(std::make_pair(header.signature, header.mftRecordNumber), std::make_pair(Ntfs::kFileRecordSignature, kept));
    // A free record is answered with the nearest lower one in use: the call succeeds, the read does not.
    const ULONGLONG calls = device->callCount(FSCTL_GET_NTFS_FILE_RECORD);
    EXPECT_EQ(volume->readFileRecord(gone, 0), nullptr);
    EXPECT_EQ(device->callCount(FSCTL_GET_NTFS_FILE_RECORD), calls + 1);
    device->redirectRecord(kept, kRoot);
    EXPECT_EQ(volume->readFileRecord(kept, 0), nullptr);
    device->clearRedirects();
    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_READ_FAULT);
    EXPECT_EQ(volume->readFileRecord(kept, 0), nullptr);
    EXPECT_NE(volume->readFileRecord(kept, 0), nullptr);

    // A second set-up starts from a closed volume.
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_TRUE(volume->recordBuffers.empty());
    EXPECT_NE(volume->volumeHandle, nullptr);

    // A recreation keeps the journal's identity and takes the larger sizes.
    const DWORDLONG id = volume->journalData.UsnJournalID;
    ASSERT_TRUE(volume->recreateUsnJournal());
    EXPECT_EQ(volume->journalData.UsnJournalID, id);
    expectJournal(32 * kMiB, 4 * kMiB);
    device->failCall(FSCTL_CREATE_USN_JOURNAL, ERROR_DISK_FULL);
    EXPECT_FALSE(volume->recreateUsnJournal());
    expectClosesCleanly();
}

// ---- malformed file records ----------------------------------------------

// A copy of a record ending at the last readable byte: a read past it (or before it) faults at once.
struct GuardedRecord {
    explicit GuardedRecord(const std::vector<BYTE>& bytes) : size(bytes.size())
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), dataPages = (size + page - 1) / page;
        length = (dataPages + 2) * page;
        base = static_cast<BYTE*>(mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base + page, dataPages * page, PROT_READ | PROT_WRITE);
        begin = base + page + dataPages * page - size;
        std::memcpy(begin, bytes.data(), size);
    }
    ~GuardedRecord() { munmap(base, length); }

    size_t size, length;
    BYTE* base;
    BYTE* begin;
};

class MalformedRecords : public MftEnumeration {
protected:
    // The FILE record of a file, as the record read shows it.
    std::vector<BYTE> recordOf(DWORD file)
    {
        std::vector<BYTE> bytes;
        EXPECT_TRUE(device->encodeRecord(file, bytes));
        bytes.resize(volume->volumeData.BytesPerFileRecordSegment);
        return bytes;
    }

    // [p, p + size) lies in the guarded record or a record buffer (where extension records are read).
    bool inside(const void* at, size_t size, const GuardedRecord& guarded) const
    {
        const BYTE* p = static_cast<const BYTE*>(at);
        if (p >= guarded.begin && p + size <= guarded.begin + guarded.size)
            return true;
        for (const BYTE* block : volume->recordBuffers)
            if (p >= block + 12 && p + size <= block + volume->recordBufferSize)
                return true;
        return false;
    }

    struct Parsed {
        std::vector<std::string> names;
        bool hasData = false;
        ULONGLONG size = 0;
    };

    // Parses bytes from guarded memory; every part handed back lies inside a buffer.
    Parsed parse(DWORD file, const std::vector<BYTE>& bytes, bool follow = true)
    {
        GuardedRecord guarded(bytes);
        SearchEngine::FileRecordParts parts;
        volume->parseFileRecord(file, guarded.begin, parts, follow);
        Parsed parsed;
        for (const Ntfs::FileNameAttribute* f : parts.names) {
            EXPECT_TRUE(inside(f, Ntfs::kFileNameHeaderSize + 2 * f->nameLength, guarded));
            std::u16string name(f->nameLength, u'\0');
            std::memcpy(&name[0], reinterpret_cast<const BYTE*>(f) + Ntfs::kFileNameHeaderSize, 2 * name.size());
            parsed.names.push_back(utf8(name));
        }
        if (parts.data) {
            EXPECT_TRUE(inside(parts.data,
                               parts.data->nonResident ? Ntfs::kNonResidentHeaderSize : Ntfs::kResidentHeaderSize,
                               guarded));
            parsed.hasData = true;
            parsed.size = SearchEngine::fileSizeOfData(parts.data);
        }
        return parsed;
    }

    // The entries of a resident attribute list as guarded memory.
    QList<DWORD> listRecords(DWORD file, const std::vector<BYTE>& bytes, DWORD list)
    {
        GuardedRecord guarded(bytes);
        return volume->attributeListRecords(file,
                                            reinterpret_cast<const Ntfs::AttributeHeader*>(guarded.begin + list));
    }
};

// Lengths and offsets past their bounds lose what they describe (each bound of the attribute walk
// itself is a row of tests/ntfs), and so do attribute list entries past their value or naming another
// file; random damage (to a plain file and to one with an attribute list) never makes a read outside
// the record. The size comes from the $DATA extent at VCN 0, whatever extent comes first.
TEST_F(MalformedRecords, DamagedRecordsAreSkippedWithoutReadingOutside)
{
    install();
    const DWORD listed =
        device->createFile(kRoot, u"listed-file-name.txt", sized(70000, 4, Vol::AttributeListForm::Resident, 2));
    ASSERT_TRUE(device->link(listed, kRoot, u"second-name.txt"));
    const DWORD file = device->createFile(kRoot, u"victim.txt", sized(20));
    const DWORD extents = device->createFile(kRoot, u"extents.bin", sized(70000, 2));
    open();
    const std::vector<BYTE> sound = recordOf(file);
    const Parsed whole = parse(file, sound);
    EXPECT_EQ(std::tie(whole.names, whole.hasData, whole.size),
              std::make_tuple(std::vector<std::string>{"victim.txt"}, true, 20ull));

    const DWORD name = attributeOffset(sound, Ntfs::AttrFileName);
    const DWORD data = attributeOffset(sound, Ntfs::AttrData);
    ASSERT_TRUE(name && data);
    const DWORD size = DWORD(sound.size());
    const DWORD firstAttribute = offsetof(Ntfs::FileRecordHeader, firstAttributeOffset);
    const DWORD nameLength = name + DWORD(peek(sound, name + 20, 2)) + 64;
    const struct {
        const char* what;
        std::vector<std::tuple<DWORD, DWORD, ULONGLONG>> pokes; // offset, width, value
        bool dataLost;                                           // else the names are lost
    } cases[] = {
        {"first attribute far out", {{firstAttribute, 2, 0xFFF8}}, false},
        {"attribute length past the record", {{name + 4, 4, size - name + 8}}, false},
        {"name longer than its value", {{nameLength, 1, 255}}, false},
        {"not a FILE record", {{0, 4, 0x44414142}}, false},
        {"$DATA header cut short", {{data + 4, 4, 16}}, true},
        {"non-resident in a resident-sized $DATA", {{data + 8, 1, 1}, {data + 4, 4, 40}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bad = sound;
        for (const auto& [at, width, value] : c.pokes)
            poke(bad, at, width, value);
        const Parsed parsed = parse(file, bad);
        EXPECT_TRUE(c.dataLost ? !parsed.hasData : parsed.names.empty());
    }

    std::mt19937 random(7);
    for (DWORD damaged : {listed, file}) {
        const std::vector<BYTE> sound = recordOf(damaged);
        for (int round = 0; round < 3000; ++round) {
            auto bad = sound;
            for (int i = 0, flips = 1 + int(random() % 6); i < flips; ++i) {
                const size_t at = random() % bad.size();
                bad[at] = round % 3 == 0 ? BYTE(random()) : BYTE(bad[at] ^ (1u << (random() % 8)));
            }
            parse(damaged, bad, round % 2 == 0);
        }
    }

    // A later extent of the same $DATA (without its sizes) placed before the extent at VCN 0.
    const std::vector<BYTE> split = recordOf(extents);
    const DWORD extent0 = attributeOffset(split, Ntfs::AttrData);
    ASSERT_NE(extent0, 0u);
    const DWORD length = DWORD(peek(split, extent0 + 4, 4));
    std::vector<BYTE> extent(split.begin() + extent0, split.begin() + extent0 + length);
    poke(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.lowestVcn), 8, 8);
    for (size_t field : {offsetof(Ntfs::AttributeHeader, u.nonResident.allocatedSize),
                         offsetof(Ntfs::AttributeHeader, u.nonResident.dataSize),
                         offsetof(Ntfs::AttributeHeader, u.nonResident.initializedSize)})
        poke(extent, field, 8, 0);
    std::vector<BYTE> twoExtents(split.begin(), split.begin() + extent0);
    twoExtents.insert(twoExtents.end(), extent.begin(), extent.end());
    twoExtents.insert(twoExtents.end(), split.begin() + extent0, split.end() - length);
    const size_t inUse = offsetof(Ntfs::FileRecordHeader, bytesInUse);
    poke(twoExtents, inUse, 4, peek(split, inUse, 4) + length);
    const Parsed parsed = parse(extents, twoExtents);
    EXPECT_TRUE(parsed.hasData && parsed.size == 70000u) << parsed.size;

    const std::vector<BYTE> withList = recordOf(listed);
    const DWORD list = attributeOffset(withList, Ntfs::AttrAttributeList);
    ASSERT_NE(list, 0u);
    const DWORD value = list + DWORD(peek(withList, list + 20, 2));
    const DWORD valueLength = DWORD(peek(withList, list + 16, 4));
    const QList<DWORD> records = listRecords(listed, withList, list);
    ASSERT_FALSE(records.isEmpty());
    EXPECT_FALSE(records.contains(listed)); // the base record is not listed again
    // An entry length out of bounds, or a value that claims more than its attribute.
    const std::tuple<DWORD, DWORD, DWORD> pokes[] = {{value + 4, 2, 0},      {value + 4, 2, 8},
                                                     {value + 4, 2, 0xFFF8}, {value + 4, 2, valueLength + 8},
                                                     {list + 16, 4, 0x10000}}; // offset, width, value
    for (const auto& [at, width, length] : pokes) {
        SCOPED_TRACE(::testing::Message() << at << " = " << length);
        auto bad = withList;
        poke(bad, at, width, length);
        EXPECT_TRUE(listRecords(listed, bad, list).isEmpty());
        parse(listed, bad);
    }
    // Every entry pointed at another file's base record: nothing of that file is added.
    auto bad = withList;
    for (DWORD pos = 0, length = 1; pos + 24 <= valueLength && length; pos += length) {
        length = DWORD(peek(bad, value + pos + 4, 2));
        poke(bad, value + pos + 16, 8, device->fileReference(file));
    }
    ASSERT_TRUE(volume->growRecordBuffers(1));
    for (const std::string& name : parse(listed, bad).names)
        EXPECT_TRUE(name == "listed-file-name.txt" || name == "second-name.txt") << name;
}

} // namespace
