// Building a drive's index from the MFT: which items the enumeration makes
// and with which fields, attribute lists in both forms, the directory tree
// of a build, and file records that are malformed.
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/ZNtfsRecord.h"
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
using Vol = ZEmulatedNtfsVolume;
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

// Offset of the first attribute of a type in a sound record, or 0.
DWORD attributeOffset(const std::vector<BYTE>& record, DWORD type)
{
    Platform::ZNtfsAttributeWalk walk(record.data(), record.size());
    while (const Ntfs::AttributeHeader* a = walk.next())
        if (a->type == type)
            return DWORD(reinterpret_cast<const BYTE*>(a) - record.data());
    return 0;
}

// Writes the low `width` bytes of value (little-endian) at offset.
void poke(std::vector<BYTE>& record, size_t offset, size_t width, ULONGLONG value)
{
    std::memcpy(&record[offset], &value, width);
}

template <typename T>
T peek(const std::vector<BYTE>& record, size_t offset)
{
    T v;
    std::memcpy(&v, &record[offset], sizeof v);
    return v;
}

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
        if (volume)
            TearDown();
        device = std::make_shared<Vol>(options);
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

    // The one item of a record, failing the test when there is not exactly one.
    Item only(DWORD record) const
    {
        const auto found = itemsOf(record);
        EXPECT_EQ(found.size(), 1u) << "record " << record;
        return found.empty() ? Item() : found.front();
    }

    std::shared_ptr<Vol> device;
    std::unique_ptr<ZDriveVolume> volume;
    DirectoryMap pendingParents;
    DirectoryMap knownDirectories;
};

TEST_F(MftEnumeration, FilesAndFoldersBecomeItemsWithTheirFields)
{
    install();
    const DWORD docs = device->createFolder(kRoot, u"docs");
    Vol::CreateOptions small;
    small.size = 100;
    const DWORD report = device->createFile(docs, u"report.txt", small);
    const DWORD empty = device->createFile(kRoot, u"empty.dat");
    // One item per name that is not DOS-only.
    Vol::CreateOptions withDos, both, posix;
    withDos.dosName = u"LONGFI~1.TXT";
    both.nameForm = Vol::NameForm::Win32AndDos;
    posix.nameForm = Vol::NameForm::Posix;
    const DWORD pair = device->createFile(kRoot, u"Long File Name.txt", withDos);
    const DWORD single = device->createFile(kRoot, u"README.TXT", both);
    const DWORD posixFile = device->createFile(kRoot, u"makefile", posix);
    // Stored in UTF-8, signed in UTF-16.
    const std::u16string wide = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600.txt";
    const DWORD unicode = device->createFile(kRoot, wide);
    ASSERT_TRUE(docs && report && empty && pair && single && posixFile && unicode);
    open();
    build();

    Vol::FileInfo info;
    ASSERT_TRUE(device->fileInfo(report, info));
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
    // An empty file still has its (resident, empty) $DATA; a folder has none.
    EXPECT_EQ(only(empty).flags, BYTE(SearchEngine::InUse));
    const Item d = only(docs);
    EXPECT_NE(d.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(d.size, 0u);
    EXPECT_EQ(d.flags, BYTE(SearchEngine::InUse | SearchEngine::NoData));
    EXPECT_EQ(only(kRoot).parent, kRoot); // the root names itself as its parent

    EXPECT_EQ(only(pair).name, "Long File Name.txt");
    EXPECT_EQ(only(single).name, "README.TXT");
    EXPECT_EQ(only(posixFile).name, "makefile");
    const Item u = only(unicode);
    EXPECT_EQ(u.name, utf8(wide));
    EXPECT_EQ(u.signature, SearchEngine::nameSignatureOf(wide.data(), int(wide.size())));
    EXPECT_EQ(u.slotCount, SearchEngine::slotsForNameLength(int(utf8(wide).size())));
    EXPECT_EQ(volume->recordMap.size(), 8u);
}

class AttributeLists : public MftEnumeration,
                       public ::testing::WithParamInterface<std::tuple<Vol::AttributeListForm, DWORD, DWORD>> {};

// A file spread over extension records: every name is found once, the size
// comes from the $DATA that carries it, and each record is read once.
TEST_P(AttributeLists, SpreadFilesAreIndexedWhole)
{
    const auto [form, extensionRecords, listRuns] = GetParam();
    Vol::Options options;
    options.bytesPerCluster = 512; // lists of several clusters, entries across boundaries
    install(options);
    const DWORD folder = device->createFolder(kRoot, u"spread");
    Vol::CreateOptions create;
    create.size = 300 * 1024;
    create.dataRuns = 7;
    create.attributeList = form;
    create.extensionRecords = extensionRecords;
    create.attributeListRuns = listRuns;
    const DWORD file = device->createFile(folder, u"name-00.bin", create);
    ASSERT_NE(file, 0u);
    std::set<std::string> names{"name-00.bin"};
    // A resident list must fit in the base record; a non-resident one spans clusters and runs.
    const int links = form == Vol::AttributeListForm::Resident ? 20 : 60;
    for (int i = 1; i < links; ++i) {
        const std::u16string name = QStringLiteral("name-%1.bin").arg(i, 2, 10, QLatin1Char('0')).toStdU16String();
        ASSERT_TRUE(device->link(file, i % 2 ? folder : kRoot, name));
        names.insert(utf8(name));
    }
    // Named streams make list entries of other lengths than 32 bytes.
    ASSERT_TRUE(device->setStream(file, u"extra", 10));
    ASSERT_TRUE(device->setStream(file, u"more-extra", 20));
    ASSERT_TRUE(device->setAttributeListForm(file, form, extensionRecords, listRuns));
    Vol::FileInfo info, tinyInfo;
    ASSERT_TRUE(device->fileInfo(file, info));
    ASSERT_FALSE(info.extensionRecords.empty());
    ASSERT_EQ(info.nonResidentAttributeList, form == Vol::AttributeListForm::NonResident);
    Vol::CreateOptions tiny = create;
    tiny.size = 10;
    const DWORD small = device->createFile(folder, u"tiny.txt", tiny);
    ASSERT_TRUE(small && device->fileInfo(small, tinyInfo));
    open();
    build();

    for (const auto& [record, expected, size] :
         {std::make_tuple(file, names, 300 * 1024u), std::make_tuple(small, std::set<std::string>{"tiny.txt"}, 10u)}) {
        std::set<std::string> seen;
        for (const Item& i : itemsOf(record)) {
            EXPECT_TRUE(seen.insert(i.name).second) << "name twice: " << i.name;
            EXPECT_EQ(i.size, size) << i.name;
            EXPECT_EQ(i.flags, BYTE(SearchEngine::InUse)) << i.name;
        }
        EXPECT_EQ(seen, expected);
    }
    const ULONGLONG baseRecords = 4; // the root, the folder, the two files
    EXPECT_EQ(device->callCount(FSCTL_GET_NTFS_FILE_RECORD),
              baseRecords + info.extensionRecords.size() + tinyInfo.extensionRecords.size());
}

INSTANTIATE_TEST_SUITE_P(Forms, AttributeLists,
                         ::testing::Values(std::make_tuple(Vol::AttributeListForm::Resident, 1u, 1u),
                                           std::make_tuple(Vol::AttributeListForm::Resident, 3u, 1u),
                                           std::make_tuple(Vol::AttributeListForm::NonResident, 1u, 1u),
                                           std::make_tuple(Vol::AttributeListForm::NonResident, 4u, 3u)));

TEST_F(MftEnumeration, AnUnreadableListClusterKeepsTheBaseRecordsParts)
{
    install();
    Vol::CreateOptions create;
    create.size = 100;
    create.attributeList = Vol::AttributeListForm::NonResident;
    create.extensionRecords = 2;
    const DWORD file = device->createFile(kRoot, u"listed.txt", create);
    ASSERT_NE(file, 0u);
    open();
    device->failCall(Vol::CallRead, ERROR_READ_FAULT, Vol::kUntilCleared);
    build();
    device->clearFaults();
    for (const Item& i : itemsOf(file))
        EXPECT_EQ(i.name, "listed.txt");
}

// A directory met before its parent hangs under the parent's placeholder; a
// parent whose record cannot be read stays a placeholder.
TEST_F(MftEnumeration, DirectoriesBeforeOrWithoutTheirParentsHangUnderPlaceholders)
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

    ASSERT_EQ(pendingParents.size(), 2);
    DirectoryNode* top = pendingParents.value(kRoot);
    DirectoryNode* rootNode = knownDirectories.value(kRoot);
    ASSERT_TRUE(top && rootNode);
    EXPECT_EQ(top->children, QList<DirectoryNode*>{rootNode});
    EXPECT_EQ(rootNode->parent, top);
    DirectoryNode* childNode = knownDirectories.value(child);
    DirectoryNode* parentNode = knownDirectories.value(parent);
    ASSERT_TRUE(childNode && parentNode);
    EXPECT_EQ(childNode->parent, parentNode);
    EXPECT_EQ(parentNode->children, QList<DirectoryNode*>{childNode});
    EXPECT_EQ(parentNode->parent, rootNode);
    EXPECT_EQ(parentNode->item->recordNumber, parent);
    EXPECT_FALSE(knownDirectories.contains(file));
    EXPECT_EQ(only(file).parent, child);

    EXPECT_TRUE(itemsOf(lost).empty());
    ASSERT_TRUE(pendingParents.contains(lost));
    EXPECT_EQ(pendingParents.value(lost)->item, nullptr);
    EXPECT_EQ(pendingParents.value(lost)->children, QList<DirectoryNode*>{knownDirectories.value(below)});
}

TEST_F(MftEnumeration, TheWalkTakesRecordsInUseUpToTheNextUsnAndEndsOnFailure)
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

    // An empty volume: the root, then the end of the table.
    install();
    open();
    build();
    EXPECT_EQ(volume->recordMap.size(), 1u);
    EXPECT_EQ(device->callCount(FSCTL_ENUM_USN_DATA), 2u);

    Vol::Options options;
    options.enumerateMetafiles = true;
    install(options);
    open();
    build();
    EXPECT_EQ(only(Ntfs::RecordMft).name, "$MFT");
    EXPECT_EQ(only(Ntfs::RecordMft).parent, kRoot);

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
    std::multiset<std::tuple<DWORD, DWORD, std::string, ULONGLONG>> expected{{kRoot, kRoot, ".", 0}};
    std::vector<std::pair<DWORD, ULONGLONG>> files;
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
            Vol::CreateOptions options;
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
    for (const Item& i : itemsOf(0, true))
        indexed.emplace(i.record, i.parent, i.name, i.size);
    EXPECT_TRUE(indexed == expected);
    EXPECT_EQ(knownDirectories.size(), int(folders.size()));
    EXPECT_EQ(pendingParents.keys(), QList<uint>{kRoot});
}

// Nodes of any shape (replaced entries, a parent cycle of a corrupt volume)
// are filed and all freed once.
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
    ItemRecord b = item(31, 30, FILE_ATTRIBUTE_DIRECTORY);        // a and b name each other
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

// A copy of a record whose last byte is the last readable byte: a read past
// it (or before it) faults at once instead of passing unnoticed.
class GuardedRecord {
public:
    explicit GuardedRecord(const std::vector<BYTE>& bytes) : size_(bytes.size())
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (size_ + page - 1) / page;
        length_ = (dataPages + 2) * page;
        base_ = static_cast<BYTE*>(mmap(nullptr, length_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page, dataPages * page, PROT_READ | PROT_WRITE);
        record_ = base_ + page + dataPages * page - size_;
        std::memcpy(record_, bytes.data(), size_);
    }
    ~GuardedRecord() { munmap(base_, length_); }
    const BYTE* begin() const { return record_; }
    const BYTE* end() const { return record_ + size_; }

private:
    size_t size_, length_;
    BYTE* base_;
    BYTE* record_;
};

class MalformedRecords : public MftEnumeration {
protected:
    DWORD makeAndOpen(const char16_t* name, const Vol::CreateOptions& create)
    {
        install();
        const DWORD file = device->createFile(kRoot, name, create);
        open();
        return file;
    }

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

    // Parses bytes from guarded memory; every part handed back lies inside a buffer.
    Parsed parse(DWORD file, const std::vector<BYTE>& bytes, bool follow = true)
    {
        GuardedRecord guarded(bytes);
        FileRecordParts parts;
        volume->parseFileRecord(file, guarded.begin(), parts, follow);
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
                                            reinterpret_cast<const Ntfs::AttributeHeader*>(guarded.begin() + list));
    }
};

TEST_F(MalformedRecords, LengthsAndOffsetsPastTheirBoundsAreSkipped)
{
    Vol::CreateOptions create;
    create.size = 20;
    const DWORD file = makeAndOpen(u"victim.txt", create);
    const std::vector<BYTE> sound = recordOf(file);
    const Parsed whole = parse(file, sound);
    EXPECT_EQ(whole.names, std::vector<std::string>{"victim.txt"});
    EXPECT_TRUE(whole.hasData);
    EXPECT_EQ(whole.size, 20u);

    const DWORD name = attributeOffset(sound, Ntfs::AttrFileName);
    const DWORD data = attributeOffset(sound, Ntfs::AttrData);
    ASSERT_TRUE(name && data);
    const DWORD size = DWORD(sound.size());
    const DWORD firstAttribute = offsetof(Ntfs::FileRecordHeader, firstAttributeOffset);
    const DWORD nameLength = name + peek<WORD>(sound, name + 20) + 64;
    struct Poke {
        DWORD at, width;
        ULONGLONG value;
    };
    struct Case {
        const char* what;
        std::vector<Poke> pokes;
        bool dataLost; // else the names are lost
    };
    const Case cases[] = {
        {"first attribute far out", {{firstAttribute, 2, 0xFFF8}}, false},
        {"first attribute in the last 4 bytes", {{firstAttribute, 2, size - 4}}, false},
        {"first attribute in the last 16 bytes", {{firstAttribute, 2, size - 16}}, false},
        {"first attribute at the end", {{firstAttribute, 2, size}}, false},
        {"attribute length huge", {{name + 4, 4, 0x7FFFFFF8}}, false},
        {"attribute length past the record", {{name + 4, 4, size - name + 8}}, false},
        {"value offset past the attribute", {{name + 20, 2, 0xFFF0}}, false},
        {"value length past the attribute", {{name + 16, 4, 0xFFFFFF00}}, false},
        {"name longer than its value", {{nameLength, 1, 255}}, false},
        {"not a FILE record", {{0, 4, 0x44414142}}, false},
        {"$DATA header cut short", {{data + 4, 4, 16}}, true},
        {"non-resident in a resident-sized $DATA", {{data + 8, 1, 1}, {data + 4, 4, 40}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto bad = sound;
        for (const Poke& p : c.pokes)
            poke(bad, p.at, p.width, p.value);
        const Parsed parsed = parse(file, bad);
        if (c.dataLost) {
            EXPECT_FALSE(parsed.hasData);
        } else {
            EXPECT_TRUE(parsed.names.empty());
        }
    }
}

TEST_F(MalformedRecords, TheSizeComesFromTheDataExtentAtVcnZero)
{
    Vol::CreateOptions create;
    create.size = 70000;
    create.dataRuns = 2;
    const DWORD file = makeAndOpen(u"extents.bin", create);
    const std::vector<BYTE> sound = recordOf(file);
    const DWORD data = attributeOffset(sound, Ntfs::AttrData);
    ASSERT_NE(data, 0u);
    const DWORD length = peek<DWORD>(sound, data + 4);
    // A later extent of the same $DATA (its sizes are not kept there) placed
    // before the extent at VCN 0.
    std::vector<BYTE> extent(sound.begin() + data, sound.begin() + data + length);
    poke(extent, offsetof(Ntfs::AttributeHeader, u.nonResident.lowestVcn), 8, 8);
    for (size_t field : {offsetof(Ntfs::AttributeHeader, u.nonResident.allocatedSize),
                         offsetof(Ntfs::AttributeHeader, u.nonResident.dataSize),
                         offsetof(Ntfs::AttributeHeader, u.nonResident.initializedSize)})
        poke(extent, field, 8, 0);
    std::vector<BYTE> twoExtents(sound.begin(), sound.begin() + data);
    twoExtents.insert(twoExtents.end(), extent.begin(), extent.end());
    twoExtents.insert(twoExtents.end(), sound.begin() + data, sound.end() - length);
    const Parsed parsed = parse(file, twoExtents);
    EXPECT_TRUE(parsed.hasData);
    EXPECT_EQ(parsed.size, 70000u);
}

TEST_F(MalformedRecords, AttributeListEntriesPastTheirValueOrNamingAnotherFileAreSkipped)
{
    Vol::CreateOptions create;
    create.size = 20;
    create.attributeList = Vol::AttributeListForm::Resident;
    create.extensionRecords = 2;
    const DWORD file = makeAndOpen(u"listed.txt", create);
    const DWORD other = device->createFile(kRoot, u"other.txt");
    const std::vector<BYTE> sound = recordOf(file);
    const DWORD list = attributeOffset(sound, Ntfs::AttrAttributeList);
    ASSERT_NE(list, 0u);
    const WORD valueOffset = peek<WORD>(sound, list + 20);
    const DWORD valueLength = peek<DWORD>(sound, list + 16);
    const QList<DWORD> records = listRecords(file, sound, list);
    ASSERT_FALSE(records.isEmpty());
    EXPECT_FALSE(records.contains(file)); // the base record is not listed again

    for (DWORD entryLength : {0u, 8u, 0xFFF8u, valueLength + 8}) {
        SCOPED_TRACE(entryLength);
        auto bad = sound;
        poke(bad, list + valueOffset + 4, 2, entryLength);
        EXPECT_TRUE(listRecords(file, bad, list).isEmpty());
        parse(file, bad);
    }
    auto bad = sound;
    poke(bad, list + 16, 4, 0x10000); // a value that claims more than its attribute
    EXPECT_TRUE(listRecords(file, bad, list).isEmpty());

    // Every entry pointed at another file's base record: nothing of that file is added.
    bad = sound;
    for (DWORD pos = 0; pos + 24 <= valueLength;) {
        const WORD length = peek<WORD>(bad, list + valueOffset + pos + 4);
        poke(bad, list + valueOffset + pos + 16, 8, device->fileReference(other));
        if (length == 0)
            break;
        pos += length;
    }
    ASSERT_TRUE(volume->growRecordBuffers(1));
    for (const std::string& name : parse(file, bad).names)
        EXPECT_EQ(name, "listed.txt");
}

TEST_F(MalformedRecords, RandomCorruptionNeverReadsOutside)
{
    Vol::CreateOptions create;
    create.size = 70000;
    create.dataRuns = 4;
    create.attributeList = Vol::AttributeListForm::Resident;
    create.extensionRecords = 2;
    const DWORD listed = makeAndOpen(u"listed-file-name.txt", create);
    const DWORD plain = device->createFile(kRoot, u"plain.txt");
    ASSERT_TRUE(device->link(listed, kRoot, u"second-name.txt"));
    std::mt19937 random(7);
    for (DWORD file : {listed, plain}) {
        const std::vector<BYTE> sound = recordOf(file);
        for (int round = 0; round < 3000; ++round) {
            auto bad = sound;
            for (int i = 0, flips = 1 + int(random() % 6); i < flips; ++i) {
                const size_t at = random() % bad.size();
                bad[at] = round % 3 == 0 ? BYTE(random()) : BYTE(bad[at] ^ (1u << (random() % 8)));
            }
            parse(file, bad, round % 2 == 0);
        }
    }
}

} // namespace
