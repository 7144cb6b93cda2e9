// Building a drive's index from the MFT: which items the enumeration makes
// and with which fields, attribute lists in both forms, the directory tree
// of a build, and file records that are malformed.
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "storage/ZItemRecord.h"
#include "storage/ZLockItem.h"
#include "volume/ZDriveVolume.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <QString>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::DirectoryMap;
using SearchEngine::DirectoryNode;
using SearchEngine::FileRecordParts;
using SearchEngine::ItemRecord;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;

std::string utf8(const std::u16string& s)
{
    return QString::fromStdU16String(s).toStdString();
}

// Offset of the first attribute of a type in a record, or 0.
DWORD attributeOffset(const std::vector<BYTE>& record, DWORD type)
{
    Ntfs::FileRecordHeader header;
    std::memcpy(&header, record.data(), sizeof(header));
    DWORD offset = header.firstAttributeOffset;
    while (offset + 8 <= record.size()) {
        DWORD t, length;
        std::memcpy(&t, &record[offset], 4);
        std::memcpy(&length, &record[offset + 4], 4);
        if (t == type)
            return offset;
        if (t == Ntfs::AttrEnd || length == 0)
            return 0;
        offset += length;
    }
    return 0;
}

template <typename T>
void put(std::vector<BYTE>& record, size_t offset, T value)
{
    std::memcpy(&record[offset], &value, sizeof(value));
}

// One item of the pool, copied out.
struct Item {
    DWORD record = 0;
    DWORD parent = 0;
    DWORD attributes = 0;
    ULONGLONG size = 0;
    ULONGLONG changeTime = 0;
    ULONGLONG accessTime = 0;
    ULONGLONG signature = 0;
    DWORD modifyStamp = 0;
    BYTE flags = 0;
    int slotCount = 0;
    std::string name;
};

class MftEnumeration : public ::testing::Test {
protected:
    void install(const ZEmulatedNtfsVolume::Options& options = ZEmulatedNtfsVolume::Options())
    {
        device = std::make_shared<ZEmulatedNtfsVolume>(options);
        Platform::ZDriveTable::instance().setDrive(kDrive, device);
        volume = std::make_unique<ZDriveVolume>(kDrive);
    }

    void open() { ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk)); }

    void build()
    {
        volume->enumerateMft([this](USN_RECORD_V2* rec) {
            volume->addEnumeratedRecord(rec, pendingParents, knownDirectories);
        });
    }

    void TearDown() override
    {
        SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);
        if (volume)
            volume->closeVolume();
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
    }

    std::vector<Item> items() const
    {
        std::vector<Item> out;
        for (const auto& entry : volume->recordMap) {
            const ItemRecord* r = entry.second;
            EXPECT_EQ(entry.first, r->recordNumber);
            Item i;
            i.record = r->recordNumber;
            i.parent = r->parentRecordNumber;
            i.attributes = r->attributes;
            i.size = r->fileSize;
            i.changeTime = r->changeTime;
            i.accessTime = r->accessTime;
            i.signature = r->nameSignature;
            i.modifyStamp = r->modifyStamp;
            i.flags = r->flags;
            i.slotCount = r->slotCount;
            i.name.assign(r->nameBytes(), r->nameLength);
            out.push_back(i);
        }
        return out;
    }

    std::vector<Item> itemsOf(DWORD record) const
    {
        std::vector<Item> out;
        for (const Item& i : items())
            if (i.record == record)
                out.push_back(i);
        return out;
    }

    // The one item of a record, failing the test when there is not exactly one.
    Item only(DWORD record) const
    {
        const auto found = itemsOf(record);
        EXPECT_EQ(found.size(), 1u) << "record " << record;
        return found.empty() ? Item() : found.front();
    }

    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    DirectoryMap pendingParents;
    DirectoryMap knownDirectories;
};

TEST_F(MftEnumeration, FilesAndFoldersBecomeItemsWithTheirFields)
{
    install();
    const DWORD docs = device->createFolder(kRoot, u"docs");
    ZEmulatedNtfsVolume::CreateOptions small;
    small.size = 100;
    const DWORD report = device->createFile(docs, u"report.txt", small);
    ZEmulatedNtfsVolume::CreateOptions large;
    large.size = 1 << 20;
    large.dataRuns = 3;
    const DWORD big = device->createFile(docs, u"big.bin", large);
    const DWORD empty = device->createFile(kRoot, u"empty.dat");
    ASSERT_TRUE(docs && report && big && empty);
    open();
    build();

    ZEmulatedNtfsVolume::FileInfo info;
    ASSERT_TRUE(device->fileInfo(report, info));
    ASSERT_FALSE(info.nonResidentData);
    const Item r = only(report);
    EXPECT_EQ(r.name, "report.txt");
    EXPECT_EQ(r.parent, docs);
    EXPECT_EQ(r.size, 100u);
    EXPECT_EQ(r.attributes, info.attributes);
    EXPECT_EQ(r.flags, BYTE(SearchEngine::InUse));
    EXPECT_EQ(r.changeTime, info.times.changeTime);
    EXPECT_EQ(r.accessTime, info.times.lastAccessTime);
    EXPECT_EQ(r.modifyStamp, 0u);
    EXPECT_EQ(r.signature, SearchEngine::nameSignatureOf(u"report.txt", 10));
    EXPECT_EQ(r.slotCount, SearchEngine::slotsForNameLength(10));

    ASSERT_TRUE(device->fileInfo(big, info));
    ASSERT_TRUE(info.nonResidentData);
    EXPECT_EQ(only(big).size, ULONGLONG(1 << 20));
    EXPECT_EQ(only(big).flags, BYTE(SearchEngine::InUse));

    // An empty file still has its (resident, empty) $DATA.
    EXPECT_EQ(only(empty).size, 0u);
    EXPECT_EQ(only(empty).flags, BYTE(SearchEngine::InUse));

    // A folder has no unnamed $DATA.
    const Item d = only(docs);
    EXPECT_EQ(d.name, "docs");
    EXPECT_EQ(d.parent, kRoot);
    EXPECT_NE(d.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(d.size, 0u);
    EXPECT_EQ(d.flags, BYTE(SearchEngine::InUse | SearchEngine::NoData));

    // The root names itself as its parent.
    const Item root = only(kRoot);
    EXPECT_EQ(root.parent, kRoot);
    EXPECT_EQ(volume->recordMap.size(), 5u);
}

TEST_F(MftEnumeration, OneItemPerNameThatIsNotDosOnly)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions withDos;
    withDos.dosName = u"LONGFI~1.TXT";
    const DWORD pair = device->createFile(kRoot, u"Long File Name.txt", withDos);
    ZEmulatedNtfsVolume::CreateOptions both;
    both.nameForm = ZEmulatedNtfsVolume::NameForm::Win32AndDos;
    const DWORD single = device->createFile(kRoot, u"README.TXT", both);
    ZEmulatedNtfsVolume::CreateOptions posix;
    posix.nameForm = ZEmulatedNtfsVolume::NameForm::Posix;
    const DWORD posixFile = device->createFile(kRoot, u"makefile", posix);
    ASSERT_TRUE(pair && single && posixFile);
    ZEmulatedNtfsVolume::FileInfo info;
    ASSERT_TRUE(device->fileInfo(pair, info));
    ASSERT_EQ(info.links.size(), 2u); // the Win32 name and the DOS name
    open();
    build();

    EXPECT_EQ(only(pair).name, "Long File Name.txt");
    EXPECT_EQ(only(single).name, "README.TXT");
    EXPECT_EQ(only(posixFile).name, "makefile");
}

TEST_F(MftEnumeration, NamesAreStoredInUtf8AndSignedInUtf16)
{
    install();
    const std::u16string name = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600.txt";
    const DWORD file = device->createFile(kRoot, name);
    ASSERT_NE(file, 0u);
    open();
    build();
    const Item i = only(file);
    EXPECT_EQ(i.name, utf8(name));
    EXPECT_EQ(i.signature, SearchEngine::nameSignatureOf(name.data(), int(name.size())));
    EXPECT_EQ(i.slotCount, SearchEngine::slotsForNameLength(int(utf8(name).size())));
}

TEST_F(MftEnumeration, HardLinksGiveOneItemPerLink)
{
    install();
    const DWORD a = device->createFolder(kRoot, u"a");
    const DWORD b = device->createFolder(kRoot, u"b");
    ZEmulatedNtfsVolume::CreateOptions options;
    options.size = 5000;
    const DWORD file = device->createFile(a, u"data.bin", options);
    ASSERT_TRUE(device->link(file, b, u"alias.bin"));
    ASSERT_TRUE(device->link(file, a, u"copy.bin"));
    open();
    build();

    std::set<std::pair<DWORD, std::string>> names;
    for (const Item& i : itemsOf(file)) {
        names.emplace(i.parent, i.name);
        EXPECT_EQ(i.size, 5000u);
        EXPECT_EQ(i.attributes, itemsOf(file).front().attributes);
    }
    const std::set<std::pair<DWORD, std::string>> expected{
        {a, "data.bin"}, {b, "alias.bin"}, {a, "copy.bin"}};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(volume->recordMap.count(file), 3u);
}

// A file whose attributes are spread over extension records through an
// attribute list in the given form: every name is found once, and the size
// comes from the $DATA that carries it.
void expectSpreadFileIndexed(const std::set<std::string>& names, ULONGLONG size, const std::vector<Item>& found)
{
    std::set<std::string> seen;
    for (const Item& i : found) {
        EXPECT_TRUE(seen.insert(i.name).second) << "name twice: " << i.name;
        EXPECT_EQ(i.size, size) << i.name;
        EXPECT_EQ(i.flags, BYTE(SearchEngine::InUse)) << i.name;
    }
    EXPECT_EQ(seen, names);
}

class AttributeLists : public MftEnumeration,
                       public ::testing::WithParamInterface<std::tuple<ZEmulatedNtfsVolume::AttributeListForm, DWORD, DWORD>> {
};

TEST_P(AttributeLists, SpreadFilesAreIndexedWhole)
{
    const auto [form, extensionRecords, listRuns] = GetParam();
    ZEmulatedNtfsVolume::Options options;
    options.bytesPerCluster = 512; // lists of several clusters, entries across boundaries
    install(options);
    const DWORD folder = device->createFolder(kRoot, u"spread");

    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 300 * 1024;
    create.dataRuns = 7;
    create.attributeList = form;
    create.extensionRecords = extensionRecords;
    create.attributeListRuns = listRuns;
    const DWORD file = device->createFile(folder, u"name-00.bin", create);
    ASSERT_NE(file, 0u);
    std::set<std::string> names{"name-00.bin"};
    // A resident list must fit in the base record; a non-resident one spans
    // several clusters and runs.
    const int links = form == ZEmulatedNtfsVolume::AttributeListForm::Resident ? 20 : 60;
    for (int i = 1; i < links; ++i) {
        const std::u16string name = QStringLiteral("name-%1.bin").arg(i, 2, 10, QLatin1Char('0')).toStdU16String();
        ASSERT_TRUE(device->link(file, i % 2 ? folder : kRoot, name));
        names.insert(utf8(name));
    }
    // Named streams make list entries of other lengths than 32 bytes, so
    // entries cross the 512-byte clusters of a non-resident list.
    ASSERT_TRUE(device->setStream(file, u"extra", 10));
    ASSERT_TRUE(device->setStream(file, u"more-extra", 20));
    ASSERT_TRUE(device->setAttributeListForm(file, form, extensionRecords, listRuns));
    ZEmulatedNtfsVolume::FileInfo info;
    ASSERT_TRUE(device->fileInfo(file, info));
    ASSERT_FALSE(info.extensionRecords.empty());
    ASSERT_EQ(info.nonResidentAttributeList, form == ZEmulatedNtfsVolume::AttributeListForm::NonResident);

    // A small file with a list beside it.
    ZEmulatedNtfsVolume::CreateOptions tiny = create;
    tiny.size = 10;
    const DWORD small = device->createFile(folder, u"tiny.txt", tiny);
    ASSERT_NE(small, 0u);
    open();
    build();

    expectSpreadFileIndexed(names, 300 * 1024, itemsOf(file));
    expectSpreadFileIndexed({"tiny.txt"}, 10, itemsOf(small));

    // The base record is read once per file, each extension record once.
    ZEmulatedNtfsVolume::FileInfo tinyInfo;
    ASSERT_TRUE(device->fileInfo(small, tinyInfo));
    const ULONGLONG files = 4; // the root, the folder, the two files
    EXPECT_EQ(device->callCount(FSCTL_GET_NTFS_FILE_RECORD),
              files + info.extensionRecords.size() + tinyInfo.extensionRecords.size());

    // The list, read whole across its runs, names every extension record once.
    const BYTE* base = volume->readFileRecord(file, 0);
    ASSERT_NE(base, nullptr);
    const std::vector<BYTE> baseBytes(base, base + volume->volumeData.BytesPerFileRecordSegment);
    const DWORD list = attributeOffset(baseBytes, Ntfs::AttrAttributeList);
    ASSERT_NE(list, 0u);
    QList<DWORD> listed =
        volume->attributeListRecords(file, reinterpret_cast<const Ntfs::AttributeHeader*>(base + list));
    std::sort(listed.begin(), listed.end());
    std::vector<DWORD> extensions = info.extensionRecords;
    std::sort(extensions.begin(), extensions.end());
    EXPECT_EQ(std::vector<DWORD>(listed.begin(), listed.end()), extensions);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AttributeLists,
    ::testing::Values(std::make_tuple(ZEmulatedNtfsVolume::AttributeListForm::Resident, 1u, 1u),
                      std::make_tuple(ZEmulatedNtfsVolume::AttributeListForm::Resident, 3u, 1u),
                      std::make_tuple(ZEmulatedNtfsVolume::AttributeListForm::NonResident, 1u, 1u),
                      std::make_tuple(ZEmulatedNtfsVolume::AttributeListForm::NonResident, 4u, 3u)));

TEST_F(MftEnumeration, AnUnreadableListClusterKeepsTheBaseRecordsParts)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 100;
    create.attributeList = ZEmulatedNtfsVolume::AttributeListForm::NonResident;
    create.extensionRecords = 2;
    const DWORD file = device->createFile(kRoot, u"listed.txt", create);
    ASSERT_NE(file, 0u);
    open();
    device->failCall(ZEmulatedNtfsVolume::CallRead, ERROR_READ_FAULT, ZEmulatedNtfsVolume::kUntilCleared);
    build();
    device->clearFaults();
    // No extension record is known, so only what the base record holds is
    // used; nothing is read from elsewhere.
    for (const Item& i : itemsOf(file))
        EXPECT_EQ(i.name, "listed.txt");
}

TEST_F(MftEnumeration, ADirectoryBeforeItsParentIsFiledUnderThePlaceholder)
{
    install();
    const DWORD child = device->createFolder(kRoot, u"child");
    const DWORD parent = device->createFolder(kRoot, u"parent");
    ASSERT_LT(child, parent);
    ASSERT_TRUE(device->move(child, parent));
    const DWORD file = device->createFile(child, u"inside.txt");
    open();
    build();

    ASSERT_EQ(pendingParents.size(), 1);
    ASSERT_TRUE(pendingParents.contains(kRoot));
    DirectoryNode* top = pendingParents.value(kRoot);
    ASSERT_EQ(top->children.size(), 1);
    DirectoryNode* rootNode = knownDirectories.value(kRoot);
    ASSERT_NE(rootNode, nullptr);
    EXPECT_EQ(top->children.front(), rootNode);
    EXPECT_EQ(rootNode->parent, top);

    DirectoryNode* childNode = knownDirectories.value(child);
    DirectoryNode* parentNode = knownDirectories.value(parent);
    ASSERT_TRUE(childNode && parentNode);
    EXPECT_EQ(childNode->parent, parentNode);
    EXPECT_EQ(parentNode->children, QList<DirectoryNode*>{childNode});
    EXPECT_EQ(parentNode->parent, rootNode);
    EXPECT_EQ(parentNode->item->recordNumber, parent);
    // Files are not directories.
    EXPECT_FALSE(knownDirectories.contains(file));
    EXPECT_EQ(only(file).parent, child);
}

TEST_F(MftEnumeration, AParentThatCannotBeReadStaysAPlaceholder)
{
    install();
    const DWORD lost = device->createFolder(kRoot, u"lost");
    const DWORD below = device->createFolder(lost, u"below");
    open();
    device->redirectRecord(lost, kRoot);
    build();
    EXPECT_TRUE(itemsOf(lost).empty());
    ASSERT_TRUE(pendingParents.contains(lost));
    EXPECT_EQ(pendingParents.value(lost)->item, nullptr);
    EXPECT_EQ(pendingParents.value(lost)->children, QList<DirectoryNode*>{knownDirectories.value(below)});
}

TEST_F(MftEnumeration, OnlyFilesInUseUpToTheJournalsNextUsnAreEnumerated)
{
    install();
    const DWORD gone = device->createFile(kRoot, u"gone.txt");
    const DWORD kept = device->createFile(kRoot, u"kept.txt");
    ASSERT_TRUE(device->remove(gone));
    open();
    const DWORD later = device->createFile(kRoot, u"later.txt");
    ASSERT_NE(later, 0u);
    build();
    EXPECT_EQ(only(kept).name, "kept.txt");
    EXPECT_TRUE(itemsOf(gone).empty());
    EXPECT_TRUE(itemsOf(later).empty());
}

TEST_F(MftEnumeration, AnEmptyVolumeEndsTheWalk)
{
    install();
    open();
    build();
    EXPECT_EQ(volume->recordMap.size(), 1u);
    EXPECT_EQ(only(kRoot).parent, kRoot);
    EXPECT_EQ(device->callCount(FSCTL_ENUM_USN_DATA), 2u); // the root, then the end of the table

    ZEmulatedNtfsVolume::Options options;
    options.enumerateMetafiles = true;
    install(options);
    open();
    build();
    EXPECT_EQ(only(Ntfs::RecordMft).name, "$MFT");
    EXPECT_EQ(only(Ntfs::RecordMft).parent, kRoot);
}

TEST_F(MftEnumeration, AFailedEnumerationEndsTheWalkWithWhatWasRead)
{
    install();
    device->createFile(kRoot, u"a.txt");
    open();
    device->failCall(FSCTL_ENUM_USN_DATA, ERROR_INVALID_FUNCTION);
    build();
    EXPECT_TRUE(volume->recordMap.empty());
}

// A random tree of a few thousand files (several enumeration calls' worth):
// the pool holds exactly its names, parents and sizes.
TEST_F(MftEnumeration, ARandomTreeIsIndexedExactly)
{
    install();
    std::mt19937 random(20261206);
    std::vector<DWORD> folders{kRoot};
    std::multiset<std::tuple<DWORD, DWORD, std::string, ULONGLONG>> expected; // record, parent, name, size
    std::vector<std::pair<DWORD, ULONGLONG>> files;
    expected.emplace(kRoot, kRoot, ".", 0);
    for (int i = 0; i < 7000; ++i) {
        const DWORD parent = folders[random() % folders.size()];
        const std::u16string name = QStringLiteral("n%1-%2").arg(i).arg(random() % 100000).toStdU16String();
        const int kind = int(random() % 100);
        if (kind < 15) {
            const DWORD folder = device->createFolder(parent, name);
            ASSERT_NE(folder, 0u);
            folders.push_back(folder);
            expected.emplace(folder, parent, utf8(name), 0);
        } else if (kind < 18 && !files.empty()) {
            const auto [file, size] = files[random() % files.size()];
            ASSERT_TRUE(device->link(file, parent, name));
            expected.emplace(file, parent, utf8(name), size);
        } else {
            ZEmulatedNtfsVolume::CreateOptions options;
            options.size = random() % 4 == 0 ? random() % 5000000 : random() % 700;
            const DWORD file = device->createFile(parent, name, options);
            ASSERT_NE(file, 0u);
            files.emplace_back(file, options.size);
            expected.emplace(file, parent, utf8(name), options.size);
        }
    }
    open();
    build();
    EXPECT_GT(device->callCount(FSCTL_ENUM_USN_DATA), 2u);
    std::multiset<std::tuple<DWORD, DWORD, std::string, ULONGLONG>> indexed;
    for (const Item& i : items())
        indexed.emplace(i.record, i.parent, i.name, i.size);
    EXPECT_EQ(indexed.size(), expected.size());
    EXPECT_TRUE(indexed == expected);
    EXPECT_EQ(knownDirectories.size(), int(folders.size()));
    EXPECT_EQ(pendingParents.keys(), QList<uint>{kRoot});
}

// Directory items filed by hand: what addDirectoryNode keeps, and that the
// nodes of any shape (replaced entries, a parent cycle of a corrupt volume)
// are all freed once.
TEST_F(MftEnumeration, DirectoryNodesOfAnyShapeAreFiledAndFreed)
{
    install();
    auto item = [](DWORD record, DWORD parent, DWORD attributes) {
        ItemRecord r{};
        r.recordNumber = record;
        r.parentRecordNumber = parent;
        r.attributes = attributes;
        return r;
    };
    ItemRecord file = item(40, 30, FILE_ATTRIBUTE_ARCHIVE);
    ItemRecord a = item(30, 31, FILE_ATTRIBUTE_DIRECTORY);
    ItemRecord b = item(31, 30, FILE_ATTRIBUTE_DIRECTORY);   // a and b name each other
    ItemRecord again = item(30, kRoot, FILE_ATTRIBUTE_DIRECTORY); // a second name of 30
    for (ItemRecord* r : {&file, &a, &b, &again})
        volume->addDirectoryNode(knownDirectories, pendingParents, r);

    EXPECT_FALSE(knownDirectories.contains(40));
    ASSERT_TRUE(knownDirectories.contains(30) && knownDirectories.contains(31));
    EXPECT_EQ(knownDirectories.value(30)->item, &again);
    EXPECT_EQ(knownDirectories.value(31)->item, &b);
    EXPECT_EQ(knownDirectories.value(31)->parent->item, &a); // the first node of 30
    EXPECT_EQ(pendingParents.keys(), QList<uint>{kRoot});
    SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);
    EXPECT_TRUE(knownDirectories.isEmpty());
    EXPECT_TRUE(pendingParents.isEmpty());
}

// ---- malformed file records ----------------------------------------------

// A record placed so that its last byte is the last readable byte: a read
// past it (or before it) faults at once instead of passing unnoticed.
class GuardedRecord {
public:
    explicit GuardedRecord(size_t size) : size_(size)
    {
        page_ = size_t(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (size + page_ - 1) / page_;
        length_ = (dataPages + 2) * page_;
        base_ = static_cast<BYTE*>(mmap(nullptr, length_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, dataPages * page_, PROT_READ | PROT_WRITE);
        record_ = base_ + page_ + dataPages * page_ - size;
    }
    ~GuardedRecord() { munmap(base_, length_); }
    BYTE* data() { return record_; }
    const BYTE* begin() const { return record_; }
    const BYTE* end() const { return record_ + size_; }

private:
    size_t size_ = 0;
    size_t page_ = 0;
    size_t length_ = 0;
    BYTE* base_ = nullptr;
    BYTE* record_ = nullptr;
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

    struct Parsed {
        std::vector<std::string> names;
        bool hasData = false;
        ULONGLONG size = 0;
    };

    // True when [p, p + size) lies inside the guarded record or one of the
    // volume's record buffers (where extension records are read).
    bool inside(const void* at, size_t size, const GuardedRecord& guarded) const
    {
        const BYTE* p = static_cast<const BYTE*>(at);
        if (p >= guarded.begin() && p + size <= guarded.end())
            return true;
        for (const BYTE* block : volume->recordBuffers)
            if (p >= block + 12 && p + size <= block + volume->recordBufferSize)
                return true;
        return false;
    }

    // Parses bytes from guarded memory; every part handed back lies inside
    // a buffer, with everything its readers use.
    Parsed parse(DWORD file, const std::vector<BYTE>& bytes, bool follow = true)
    {
        GuardedRecord guarded(bytes.size());
        std::memcpy(guarded.data(), bytes.data(), bytes.size());
        FileRecordParts parts;
        volume->parseFileRecord(file, guarded.data(), parts, follow);
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

};

TEST_F(MalformedRecords, ASoundRecordParses)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 20;
    const DWORD file = device->createFile(kRoot, u"sound.txt", create);
    open();
    const Parsed parsed = parse(file, recordOf(file));
    EXPECT_EQ(parsed.names, std::vector<std::string>{"sound.txt"});
    EXPECT_TRUE(parsed.hasData);
    EXPECT_EQ(parsed.size, 20u);
}

TEST_F(MalformedRecords, LengthsAndOffsetsPastTheirBoundsAreSkipped)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 20;
    const DWORD file = device->createFile(kRoot, u"victim.txt", create);
    open();
    const std::vector<BYTE> sound = recordOf(file);
    const DWORD name = attributeOffset(sound, Ntfs::AttrFileName);
    const DWORD data = attributeOffset(sound, Ntfs::AttrData);
    ASSERT_NE(name, 0u);
    ASSERT_NE(data, 0u);
    const DWORD recordSize = DWORD(sound.size());

    {   // First attribute offset beyond the record, or in its last bytes.
        for (WORD offset : {WORD(0xFFF8), WORD(recordSize - 4), WORD(recordSize - 16), WORD(recordSize)}) {
            auto bad = sound;
            put<WORD>(bad, offsetof(Ntfs::FileRecordHeader, firstAttributeOffset), offset);
            const auto parts = parse(file, bad);
            EXPECT_TRUE(parts.names.empty());
        }
    }
    {   // An attribute length past the record ends the walk there.
        auto bad = sound;
        put<DWORD>(bad, name + 4, 0x7FFFFFF8);
        EXPECT_TRUE(parse(file, bad).names.empty());
        put<DWORD>(bad, name + 4, recordSize - name + 8);
        EXPECT_TRUE(parse(file, bad).names.empty());
    }
    {   // A value offset or length past the attribute.
        auto bad = sound;
        put<WORD>(bad, name + 20, 0xFFF0);
        EXPECT_TRUE(parse(file, bad).names.empty());
        bad = sound;
        put<DWORD>(bad, name + 16, 0xFFFFFF00);
        EXPECT_TRUE(parse(file, bad).names.empty());
    }
    {   // A name longer than its value.
        auto bad = sound;
        const WORD valueOffset = *reinterpret_cast<const WORD*>(&sound[name + 20]);
        put<BYTE>(bad, name + valueOffset + 64, 255);
        EXPECT_TRUE(parse(file, bad).names.empty());
    }
    {   // A $DATA header cut short is not taken for the size.
        auto bad = sound;
        put<DWORD>(bad, data + 4, 16);
        EXPECT_FALSE(parse(file, bad).hasData);
        bad = sound;
        put<BYTE>(bad, data + 8, 1); // "non-resident" in a resident-sized attribute
        put<DWORD>(bad, data + 4, 40);
        EXPECT_FALSE(parse(file, bad).hasData);
    }
    {   // Not a FILE record at all.
        auto bad = sound;
        put<DWORD>(bad, 0, 0x44414142); // "BAAD"
        EXPECT_TRUE(parse(file, bad).names.empty());
    }
}

TEST_F(MalformedRecords, TheSizeComesFromTheDataExtentAtVcnZero)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 70000;
    create.dataRuns = 2;
    const DWORD file = device->createFile(kRoot, u"extents.bin", create);
    open();
    const std::vector<BYTE> sound = recordOf(file);
    const DWORD data = attributeOffset(sound, Ntfs::AttrData);
    ASSERT_NE(data, 0u);
    DWORD length;
    std::memcpy(&length, &sound[data + 4], 4);
    // A later extent of the same $DATA (its sizes are not kept there) placed
    // before the extent at VCN 0.
    std::vector<BYTE> extent(sound.begin() + data, sound.begin() + data + length);
    put<LONGLONG>(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.lowestVcn), 8);
    put<LONGLONG>(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.allocatedSize), 0);
    put<LONGLONG>(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.dataSize), 0);
    put<LONGLONG>(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.initializedSize), 0);
    std::vector<BYTE> twoExtents(sound.begin(), sound.begin() + data);
    twoExtents.insert(twoExtents.end(), extent.begin(), extent.end());
    twoExtents.insert(twoExtents.end(), sound.begin() + data, sound.end() - length);
    ASSERT_EQ(twoExtents.size(), sound.size());
    const Parsed parsed = parse(file, twoExtents);
    EXPECT_TRUE(parsed.hasData);
    EXPECT_EQ(parsed.size, 70000u);
}

TEST_F(MalformedRecords, AttributeListEntriesPastTheirValueAreSkipped)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 20;
    create.attributeList = ZEmulatedNtfsVolume::AttributeListForm::Resident;
    create.extensionRecords = 2;
    const DWORD file = device->createFile(kRoot, u"listed.txt", create);
    open();
    const std::vector<BYTE> sound = recordOf(file);
    const DWORD list = attributeOffset(sound, Ntfs::AttrAttributeList);
    ASSERT_NE(list, 0u);
    const WORD valueOffset = *reinterpret_cast<const WORD*>(&sound[list + 20]);
    const DWORD valueLength = *reinterpret_cast<const DWORD*>(&sound[list + 16]);
    const auto* attribute = reinterpret_cast<const Ntfs::AttributeHeader*>(&sound[list]);
    const QList<DWORD> records = volume->attributeListRecords(file, attribute);
    ASSERT_FALSE(records.isEmpty());
    EXPECT_FALSE(records.contains(file)); // the base record is not listed again

    for (WORD entryLength : {WORD(0), WORD(8), WORD(0xFFF8), WORD(valueLength + 8)}) {
        auto bad = sound;
        put<WORD>(bad, list + valueOffset + 4, entryLength);
        GuardedRecord guarded(bad.size());
        std::memcpy(guarded.data(), bad.data(), bad.size());
        const auto* a = reinterpret_cast<const Ntfs::AttributeHeader*>(guarded.data() + list);
        EXPECT_TRUE(volume->attributeListRecords(file, a).isEmpty()) << entryLength;
        parse(file, bad);
    }
    {   // A value that claims more than its attribute.
        auto bad = sound;
        put<DWORD>(bad, list + 16, 0x10000);
        GuardedRecord guarded(bad.size());
        std::memcpy(guarded.data(), bad.data(), bad.size());
        const auto* a = reinterpret_cast<const Ntfs::AttributeHeader*>(guarded.data() + list);
        EXPECT_TRUE(volume->attributeListRecords(file, a).isEmpty());
    }
}

TEST_F(MalformedRecords, AListNamingAnotherFilesRecordAddsNothingOfIt)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.attributeList = ZEmulatedNtfsVolume::AttributeListForm::Resident;
    create.extensionRecords = 1;
    const DWORD file = device->createFile(kRoot, u"listed.txt", create);
    const DWORD other = device->createFile(kRoot, u"other.txt");
    open();
    std::vector<BYTE> bad = recordOf(file);
    const DWORD list = attributeOffset(bad, Ntfs::AttrAttributeList);
    ASSERT_NE(list, 0u);
    const WORD valueOffset = *reinterpret_cast<const WORD*>(&bad[list + 20]);
    const DWORD valueLength = *reinterpret_cast<const DWORD*>(&bad[list + 16]);
    // Point every entry at the other file's base record.
    for (DWORD pos = 0; pos + 24 <= valueLength;) {
        const WORD length = *reinterpret_cast<const WORD*>(&bad[list + valueOffset + pos + 4]);
        put<ULONGLONG>(bad, list + valueOffset + pos + 16, device->fileReference(other));
        if (length == 0)
            break;
        pos += length;
    }
    ASSERT_TRUE(volume->growRecordBuffers(1));
    const Parsed parsed = parse(file, bad);
    // Only what the base record itself holds; nothing of other.txt.
    for (const std::string& name : parsed.names)
        EXPECT_EQ(name, "listed.txt");
}

TEST_F(MalformedRecords, RandomCorruptionNeverReadsOutside)
{
    install();
    ZEmulatedNtfsVolume::CreateOptions create;
    create.size = 70000;
    create.dataRuns = 4;
    create.attributeList = ZEmulatedNtfsVolume::AttributeListForm::Resident;
    create.extensionRecords = 2;
    const DWORD listed = device->createFile(kRoot, u"listed-file-name.txt", create);
    const DWORD plain = device->createFile(kRoot, u"plain.txt");
    ASSERT_TRUE(device->link(listed, kRoot, u"second-name.txt"));
    open();
    std::mt19937 random(7);
    for (DWORD file : {listed, plain}) {
        const std::vector<BYTE> sound = recordOf(file);
        for (int round = 0; round < 3000; ++round) {
            auto bad = sound;
            const int flips = 1 + int(random() % 6);
            for (int i = 0; i < flips; ++i) {
                const size_t at = random() % bad.size();
                bad[at] = round % 3 == 0 ? BYTE(random()) : BYTE(bad[at] ^ (1u << (random() % 8)));
            }
            parse(file, bad, round % 2 == 0);
        }
    }
}

} // namespace
