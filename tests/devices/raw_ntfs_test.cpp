// The raw NTFS volume device against real NTFS images: Debian's forensic
// sample disk, images made by ntfsfixture (libntfs-3g), hand-made damage,
// and the independent reader fsntfsinfo as the reference.
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "devices/raw/ZNtfsPartition.h"
#include "ntfs/ZNtfsFixup.h"
#include "ntfs/ZNtfsRecord.h"
#include "devices/raw/ZRawNtfsVolume.h"
#include "platform/win32_file.h"
#include "win32/win32_ioctl.h"
#include "support/TestEnvironment.h"
#include "support/ZIndexBuild.h"
#include "support/ZUsnRecordParse.h"

#ifdef SEARCH_HAVE_NTFS_FIXTURE
#include "ZNtfsFixture.h"
#endif

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <tuple>

using namespace Platform;

namespace {

using Names = std::set<std::u16string>;
constexpr size_t kSampleVolumeStart = 2048 * 512;
const char* const kSampleImage = "/usr/share/forensics-samples/fs.ntfs.xz";

std::shared_ptr<ZRawNtfsVolume> openImage(const QString& path)
{
    QString error;
    auto device = std::static_pointer_cast<ZRawNtfsVolume>(openRawNtfsVolume(path, &error));
    EXPECT_TRUE(device) << error.toStdString();
    return device;
}

std::shared_ptr<ZRawNtfsVolume> openBytes(std::vector<BYTE> bytes)
{
    return ZRawNtfsVolume::create(std::unique_ptr<ZNtfsImageSource>(new ZNtfsMemoryImage(std::move(bytes))), nullptr);
}

std::vector<BYTE> readAll(const QString& path)
{
    QFile f(path);
    const QByteArray b = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    return std::vector<BYTE>(b.begin(), b.end());
}

using TestSupport::UsnRec;

NTFS_VOLUME_DATA_BUFFER volumeData(ZVolumeDevice& d)
{
    NTFS_VOLUME_DATA_BUFFER out{};
    DWORD n = 0;
    EXPECT_TRUE(d.deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &out, sizeof out, &n));
    return out;
}
using TestSupport::queryJournal;

Names enumeratedNames(ZVolumeDevice& d, DWORD* lastError = nullptr)
{
    const TestSupport::Enumeration e = TestSupport::enumerate(d, queryJournal(d).NextUsn);
    if (lastError)
        *lastError = e.lastError;
    Names names;
    for (const UsnRec& r : e.records)
        names.insert(r.name);
    return names;
}

ULONGLONG fileRecord(ZVolumeDevice& d, ULONGLONG record, std::vector<BYTE>& rec)
{
    return TestSupport::fileRecord(d, record, volumeData(d).BytesPerFileRecordSegment, rec);
}

// One file of an index: every non-DOS name with its parent, the unnamed $DATA's size (-1: folder).
struct IndexedFile {
    std::set<std::pair<std::u16string, ULONGLONG>> names;
    LONGLONG size = -1;
    bool directory = false;
    bool operator==(const IndexedFile& o) const { return names == o.names && size == o.size && directory == o.directory; }
};
using Index = std::map<ULONGLONG, IndexedFile>;

// fsntfsinfo's body file ("md5|path|record|mode|uid|gid|size|...") of the
// volume at `offset`, as the same map; a path's parent may come after it.
// Metadata files (0..15) are left out, as the enumeration leaves them out.
Index referenceIndex(const QString& image, qulonglong offset)
{
    Index files;
    const QString body = TestSupport::freshDir("body") + "/body.txt";
    QProcess p;
    p.start("fsntfsinfo", {"-o", QString::number(offset), "-H", "-B", body, image});
    QFile f(body);
    if (!p.waitForFinished(120000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return files;
    const QString sep = "\\\\";
    std::map<QString, ULONGLONG> recordOfPath{{sep, Ntfs::RecordRoot}};
    std::vector<QStringList> lines;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        QStringList fields = QString::fromUtf8(raw).split('|');
        if (fields.size() < 7 || fields[1].endsWith(" ($FILE_NAME)"))
            continue;
        const int colon = fields[1].indexOf(':', fields[1].lastIndexOf(sep));
        if (colon >= 0) { // a named stream: its file, size unknown
            fields[1].truncate(colon);
            fields[6] = "0";
        }
        recordOfPath[fields[1]] = fields[2].toULongLong();
        lines.push_back(fields);
    }
    for (const QStringList& l : lines) {
        const ULONGLONG record = l[2].toULongLong();
        if (record < Ntfs::RecordFirstUser)
            continue;
        const int lastSep = l[1].lastIndexOf(sep);
        IndexedFile& file = files[record];
        file.names.insert({l[1].mid(lastSep + sep.size()).toStdU16String(),
                           recordOfPath[lastSep <= 0 ? sep : l[1].left(lastSep)]});
        file.directory = l[3].startsWith('d');
        file.size = file.directory ? -1 : std::max<LONGLONG>(file.size, l[6].toLongLong());
    }
    return files;
}

void expectSameIndex(const Index& actual, const Index& expected)
{
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [record, want] : expected)
        EXPECT_TRUE(actual.count(record) && actual.at(record) == want) << "record " << record;
}

// The index the volume code builds from `device`, put in the drive table under `letter`.
struct IndexBuild : TestSupport::ZIndexBuild {
    IndexBuild(char16_t letter, std::shared_ptr<ZVolumeDevice> device)
        : ZIndexBuild(letter, std::move(device)), opened(open())
    {
    }
    Index build()
    {
        ZIndexBuild::build();
        Index out;
        for (const auto& entry : volume->recordMap) {
            const SearchEngine::ItemRecord* r = entry.second;
            IndexedFile& f = out[r->recordNumber];
            f.names.insert({QString::fromUtf8(r->nameBytes(), r->nameLength).toStdU16String(), r->parentRecordNumber});
            f.directory = (r->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            f.size = f.directory ? -1 : LONGLONG(r->fileSize);
        }
        return out;
    }
    const bool opened;
};

bool haveProgram(const char* name)
{
    return !QStandardPaths::findExecutable(name).isEmpty()
           || !QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"}).isEmpty();
}

// The forensic sample disk (an MBR disk image), unpacked once per run.
QString sampleImage()
{
    static QString path;
    if (!path.isEmpty() || !QFile::exists(kSampleImage) || !haveProgram("xz"))
        return path;
    const QString out = TestSupport::freshDir("sample") + "/fs.ntfs";
    QProcess p;
    p.setStandardOutputFile(out);
    p.start("xz", {"-dc", kSampleImage});
    if (p.waitForFinished(120000) && p.exitCode() == 0)
        path = out;
    return path;
}

#define REQUIRE_PROGRAM(name)                                                   \
    if (!haveProgram(name))                                                     \
    GTEST_SKIP() << name " not installed"
#define REQUIRE_SAMPLE()                                                        \
    const QString image = sampleImage();                                        \
    if (image.isEmpty())                                                        \
    GTEST_SKIP() << "forensics-samples-ntfs not installed"

} // namespace

TEST(RawNtfsVolume, FatExFatAndGarbageAreNotNtfs)
{
    std::vector<BYTE> fat32(1 << 16, 0), exfat(1 << 16, 0);
    std::memcpy(&fat32[3], "MSWIN4.1", 8);
    std::memcpy(&fat32[82], "FAT32   ", 8);
    std::memcpy(&fat32[510], "\x55\xAA", 2);
    std::memcpy(&exfat[3], "EXFAT   ", 8);
    VolumeInformation info;
    for (const auto& [bytes, name] : {std::make_pair(fat32, u"FAT32"), std::make_pair(exfat, u"exFAT")}) {
        auto d = openBytes(bytes);
        ASSERT_TRUE(d->volumeInformation(info));
        EXPECT_TRUE(info.fileSystemName == name && !d->isNtfs()) << QString::fromStdU16String(name).toStdString();
        NTFS_VOLUME_DATA_BUFFER v;
        DWORD n;
        EXPECT_FALSE(d->deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &v, sizeof v, &n));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    }
    EXPECT_FALSE(openBytes(std::vector<BYTE>(4096, 0x5A))->volumeInformation(info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNRECOGNIZED_VOLUME));
    EXPECT_FALSE(openRawNtfsVolume(TestSupport::testRoot() + "/missing.img", nullptr));
}

// Debian's forensic sample: an MBR disk with one NTFS partition.
TEST(RawNtfsSample, DeviceCallsAnswerAsWindowsDoesAndTheIndexHoldsWhatFsntfsinfoLists)
{
    REQUIRE_SAMPLE();
    EXPECT_EQ(locateVolume(*openNtfsImageFile(image, nullptr)).offset, kSampleVolumeStart);
    auto d = openImage(image);
    ASSERT_TRUE(d && d->isNtfs());
    const NTFS_VOLUME_DATA_BUFFER v = volumeData(*d);
    EXPECT_EQ(std::make_pair(v.BytesPerCluster, v.BytesPerFileRecordSegment), std::make_pair(4096u, 1024u));
    EXPECT_TRUE(v.FreeClusters.QuadPart > 0 && v.FreeClusters.QuadPart < v.TotalClusters.QuadPart);
    DWORD last = 0;
    const Names names = enumeratedNames(*d, &last);
    EXPECT_EQ(last, DWORD(ERROR_HANDLE_EOF));
    // The deleted folders ("...2") are gone, the kept ones are there.
    EXPECT_TRUE(names.count(u"audio1") && names.count(u"debian.mp3"));
    EXPECT_FALSE(names.count(u"audio2") || names.count(u"deleted.mp3"));

    // A free record (68..71 held audio2's) answers with the nearest one in use below; far past the end, the last.
    std::vector<BYTE> rec;
    EXPECT_EQ(fileRecord(*d, 65, rec), 65u);
    EXPECT_EQ(fileRecord(*d, 69, rec), 67u);
    EXPECT_LT(fileRecord(*d, 0xFFFFFFull, rec), 0xFFFFFFull);
    // Raw reads are sector-aligned, read nothing past the end, and start at the volume's boot sector.
    BYTE buffer[512];
    DWORD n = 0;
    EXPECT_FALSE(d->read(3, buffer, sizeof buffer, &n));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(d->read(1ull << 40, buffer, sizeof buffer, &n) && n == 0u);
    ASSERT_TRUE(d->read(0, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::memcmp(buffer + 3, "NTFS    ", 8), 0);
    VolumeInformation info;
    ASSERT_TRUE(d->volumeInformation(info));
    EXPECT_EQ(std::make_pair(info.fileSystemName, info.serialNumber),
              std::make_pair(std::u16string(u"NTFS"), DWORD(v.VolumeSerialNumber.QuadPart)));

    REQUIRE_PROGRAM("fsntfsinfo");
    IndexBuild index(u'D', d);
    ASSERT_TRUE(index.opened);
    expectSameIndex(index.build(), referenceIndex(image, kSampleVolumeStart));
}

// Images made by ntfsfixture (which needs Debian's mkntfs).

#ifdef SEARCH_HAVE_NTFS_FIXTURE

namespace {

using SearchEngine::ZNtfsFixture;
#define REQUIRE_MKNTFS() REQUIRE_PROGRAM("mkntfs")

// Hard links (many.txt's spill into extension records), long and non-ASCII names, streams, a deletion.
const std::string kTree = [] {
    std::string script = "mkdir /docs/sub\nfile /docs/small.txt 100\nfile /docs/big.bin 300000\n"
                         "file /docs/ünïcødé-名前.txt 10\nfile /docs/a-very-long-name-" + std::string(193, 'a') + ".txt 5\n"
                         "link /docs/small.txt /docs/sub/hardlink.txt\nfile /docs/many.txt 10\n"
                         "file /docs/streamy.txt 10\nstreams /docs/streamy.txt 12 100\n"
                         "file /gone/deleted.txt 10\nfile /gone/kept.txt 10\ndelete /gone/deleted.txt\n";
    for (int i = 1; i <= 7; ++i)
        script += "link /docs/many.txt /docs/sub/many-link-0" + std::to_string(i)
                  + "-with-a-rather-long-name-to-fill-the-base-record-quickly-xxxxxxxxxxxxxxxxxxxxxxxxxx.txt\n";
    return script;
}();

bool change(const QString& image, const std::string& script)
{
    ZNtfsFixture fixture;
    const bool ok = fixture.open(image.toStdString()) && fixture.runScript(script) && fixture.close();
    EXPECT_TRUE(ok) << fixture.lastError();
    return ok;
}

QString makeImage(const QString& name, const std::string& script, uint64_t size = 32u << 20)
{
    const QString path = TestSupport::freshDir(name) + "/volume.img";
    std::string error;
    EXPECT_TRUE(ZNtfsFixture::format(path.toStdString(), size, 4096, "fixture", &error)) << error;
    change(path, script);
    return path;
}

struct ManualClockScope {
    ManualClockScope() { setClock(&clock); }
    ~ManualClockScope() { setClock(nullptr); }
    ZManualClock clock;
};

// Moves the manual clock on in journal-poll steps until done() holds.
bool advanceUntil(ZManualClock& clock, const std::function<bool()>& done, int steps = 5000)
{
    for (int i = 0; i < steps && !done(); ++i) {
        clock.advance(ZRawNtfsVolume::kJournalPollMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

READ_USN_JOURNAL_DATA_V1 readRequest(const USN_JOURNAL_DATA_V1& j, USN start, ULONGLONG waitFor = 0,
                                     LONGLONG timeout = -50000000LL)
{
    return TestSupport::readRequest(j.UsnJournalID, start, waitFor, timeout);
}

using TestSupport::JournalRead;
JournalRead readJournal(ZVolumeDevice& d, const READ_USN_JOURNAL_DATA_V1& request, DWORD outSize = 8200)
{
    return TestSupport::readJournal(d, request, outSize);
}

struct WaitedRead : JournalRead {
    bool waited = false, ended = true;
};

// A journal read on its own thread: whether it still waited after a while; then `meanwhile` runs and
// the clock moves on until the read ends (or it is cancelled, so a failing test does not hang).
WaitedRead waitingRead(ZVolumeDevice& d, ZManualClock& clock, const READ_USN_JOURNAL_DATA_V1& request,
                       const std::function<void()>& meanwhile)
{
    WaitedRead result;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        static_cast<JournalRead&>(result) = readJournal(d, request);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const bool waited = !done;
    meanwhile();
    const bool ended = advanceUntil(clock, [&] { return done.load(); }, 2000);
    if (!ended)
        d.cancelIo();
    reader.join();
    result.waited = waited;
    result.ended = ended;
    return result;
}

} // namespace

// Without a journal the position moves on every change, so a saved position (and its cache)
// falls outside the journal once the image changes (with one it stays inside: the journal test).
TEST(RawNtfsFixture, TreeOnAFragmentedMftMatchesFsntfsinfoAndWithoutAJournalThePositionMovesOnEveryChange)
{
    REQUIRE_MKNTFS();
    std::string script = kTree + "fragment\n";
    for (int i = 0; i < 12; ++i)
        script += "many /bulk" + std::to_string(i) + " 150\n";
    const QString image = makeImage("fragmented", script);
    auto d = openImage(image);
    IndexBuild index(u'F', d);
    ASSERT_TRUE(index.opened);
    const Index files = index.build();
    // small.txt's two names, in /docs (64) and /docs/sub (65); many.txt's eight.
    const decltype(IndexedFile::names) smallNames{{u"hardlink.txt", 65}, {u"small.txt", 64}};
    EXPECT_TRUE(files.count(66) && files.at(66).names == smallNames);
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const auto& f) { return f.second.names.size() == 8; }));
    EXPECT_GT(files.size(), 12u * 150u);

    USN_JOURNAL_DATA_V1 before = queryJournal(*d);
    EXPECT_TRUE(before.FirstUsn == before.NextUsn && before.NextUsn > 0) << before.NextUsn;
    // Nothing is ever written: creation changes nothing, deletion is refused.
    CREATE_USN_JOURNAL_DATA create{8u << 20, 1u << 20};
    DELETE_USN_JOURNAL_DATA notify{before.UsnJournalID, USN_DELETE_FLAG_NOTIFY, {}},
        del{before.UsnJournalID, USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY, {}};
    DWORD n = 0;
    EXPECT_TRUE(d->deviceIoControl(FSCTL_CREATE_USN_JOURNAL, &create, sizeof create, nullptr, 0, &n));
    EXPECT_TRUE(d->deviceIoControl(FSCTL_DELETE_USN_JOURNAL, &notify, sizeof notify, nullptr, 0, &n));
    EXPECT_FALSE(d->deviceIoControl(FSCTL_DELETE_USN_JOURNAL, &del, sizeof del, nullptr, 0, &n));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_WRITE_PROTECT));
    EXPECT_EQ(queryJournal(*d).NextUsn, before.NextUsn);
    // Every record is enumerated under the position; a read there returns nothing, at once.
    EXPECT_GT(TestSupport::enumerate(*d, before.NextUsn).records.size(), 12u * 150u);
    const JournalRead atEnd = readJournal(*d, readRequest(before, before.NextUsn));
    EXPECT_TRUE(atEnd.ok && atEnd.records.empty());
    if (haveProgram("fsntfsinfo"))
        expectSameIndex(files, referenceIndex(image, 0));
    // A creation or a deletion moves it.
    for (const char* script : {"file /docs/after.txt 1\n", "delete /docs/after.txt\n"}) {
        ASSERT_TRUE(change(image, script));
        EXPECT_NE(queryJournal(*openImage(image)).NextUsn, before.NextUsn) << script;
        before = queryJournal(*openImage(image));
    }
}

// The first NTFS partition of a disk is used; its enumeration gives Win32
// names, not the DOS names beside them, and astral names whole (fsntfsinfo
// 20200921 garbles surrogate pairs, so it is no reference here).
TEST(RawNtfsFixture, PartitionedDiskImagesUseTheFirstNtfsPartitionWhoseNamesAreWin32AndWhole)
{
    REQUIRE_MKNTFS();
    const std::vector<BYTE> volume = readAll(makeImage("part",
                                                       "file /LongFileName.txt 5\ndosname /LongFileName.txt LONGFI~1.TXT\n"
                                                       "mkdir /Program-Files\ndosname /Program-Files PROGRA~1\n"
                                                       "file /smile-😀.txt 1\nmkdir /𝄞-music\n", 8u << 20));
    ASSERT_FALSE(volume.empty());
    constexpr size_t kSector = Ntfs::kMbrSectorSize, kStart = 2048 * kSector;
    const auto put = [](std::vector<BYTE>& disk, size_t at, const auto& value) {
        std::memcpy(&disk[at], &value, sizeof value);
    };
    // One MBR slot (type, first sector, sector count) and the boot signature.
    const auto slot = [&](std::vector<BYTE>& disk, int i, BYTE type, DWORD first, DWORD count) {
        Ntfs::MbrPartitionEntry e{};
        e.type = type;
        e.firstLba = first;
        e.sectorCount = count;
        put(disk, Ntfs::kMbrTableOffset + i * sizeof e, e);
        put(disk, Ntfs::kMbrSignatureOffset, Ntfs::kMbrSignature);
    };
    // GPT: protective MBR, header at LBA 1 (entries at LBA 2, 4 of 128 bytes).
    std::vector<BYTE> gpt(kStart + volume.size() + kSector, 0);
    slot(gpt, 0, Ntfs::kMbrGptProtective, 1, 0xFFFFFFFF);
    Ntfs::GptHeader header{};
    std::memcpy(header.signature, Ntfs::kGptSignature, sizeof header.signature);
    header.entriesLba = 2;
    header.entryCount = 4;
    header.entrySize = 128;
    put(gpt, kSector, header);
    Ntfs::GptEntry entry{};
    entry.typeGuid[0] = 0xA2; // not zero: in use
    entry.firstLba = kStart / kSector;
    entry.lastLba = (kStart + volume.size()) / kSector - 1;
    put(gpt, 2 * kSector, entry);
    std::memcpy(&gpt[kStart], volume.data(), volume.size());
    auto d = openBytes(gpt);
    ASSERT_TRUE(d->isNtfs());
    const Names names = enumeratedNames(*d);
    for (const char16_t* name : {u"LongFileName.txt", u"Program-Files", u"smile-😀.txt", u"𝄞-music"})
        EXPECT_TRUE(names.count(name)) << QString::fromUtf16(name).toStdString();
    EXPECT_FALSE(names.count(u"LONGFI~1.TXT") || names.count(u"PROGRA~1"));

    // MBR with an empty first slot and a FAT partition before the NTFS one.
    std::vector<BYTE> mbr(kStart * 2 + volume.size(), 0);
    slot(mbr, 1, 0x0C, 64, 64);
    slot(mbr, 2, 0x07, DWORD(kStart * 2 / kSector), DWORD(volume.size() / kSector));
    std::memcpy(&mbr[64 * kSector + 82], "FAT32   ", 8);
    put(mbr, 64 * kSector + Ntfs::kMbrSignatureOffset, Ntfs::kMbrSignature);
    std::memcpy(&mbr[kStart * 2], volume.data(), volume.size());
    EXPECT_TRUE(openBytes(mbr)->isNtfs());
}

// A FILE record that fails its checks counts as not in use: it is left out of
// the enumeration and a read of it answers with the nearest lower record.
// $MFT's own record torn: its copy in $MFTMirr still mounts the volume.
TEST(RawNtfsFixture, DamagedRecordsCountAsNotInUse)
{
    REQUIRE_MKNTFS();
    const QString image = makeImage("torn", "file /a.txt 5\nfile /b.txt 5\nfile /c.txt 5\n");
    const std::vector<BYTE> clean = readAll(image);
    auto intact = openImage(image);
    const NTFS_VOLUME_DATA_BUFFER v = volumeData(*intact);
    std::map<std::u16string, ULONGLONG> records;
    for (const UsnRec& e : TestSupport::enumerate(*intact, queryJournal(*intact).NextUsn).records)
        records[e.name] = e.ref & Ntfs::kRecordNumberMask;
    ASSERT_TRUE(records.count(u"a.txt") && records.count(u"b.txt") && records.count(u"c.txt"));
    const size_t mft = size_t(v.MftStartLcn.QuadPart) * v.BytesPerCluster;
    const size_t b = mft + records[u"b.txt"] * v.BytesPerFileRecordSegment;
    using Hdr = Ntfs::FileRecordHeader;
    const struct {
        const char* what;
        size_t at;
        WORD value; // written as a word; ~0: the word's bits flipped
    } damage[] = {
        {"first stride end", kNtfsFixupStride - 2, 0xFFFF},
        {"last stride end", 2 * kNtfsFixupStride - 2, 0xFFFF},
        {"nine strides in a two-stride record", offsetof(Hdr, usaCount), 9},
        {"array past the first stride", offsetof(Hdr, usaOffset), 0x1FC},
        {"array offset odd", offsetof(Hdr, usaOffset), 0x31},
        {"not a FILE record", offsetof(Hdr, signature), 0x4142},
    };
    for (const auto& c : damage) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> bytes = clean;
        WORD word;
        std::memcpy(&word, &bytes[b + c.at], sizeof word);
        word = c.value == 0xFFFF ? WORD(~word) : c.value;
        std::memcpy(&bytes[b + c.at], &word, sizeof word);
        auto d = openBytes(bytes);
        const Names names = enumeratedNames(*d);
        EXPECT_TRUE(names.count(u"a.txt") && names.count(u"c.txt"));
        EXPECT_FALSE(names.count(u"b.txt"));
        std::vector<BYTE> rec;
        EXPECT_EQ(fileRecord(*d, records[u"b.txt"], rec), records[u"a.txt"]);
    }
    std::vector<BYTE> bytes = clean;
    bytes[mft + kNtfsFixupStride - 2] ^= 0xFF;
    auto mirrored = openBytes(bytes);
    ASSERT_TRUE(mirrored->isNtfs());
    EXPECT_EQ(enumeratedNames(*mirrored).count(u"b.txt"), 1u);
}

TEST(RawNtfsFixture, JournalIsReadFromJFollowedWhileAppendedAndWaitsEndOnTimeOutOrCancel)
{
    REQUIRE_MKNTFS();
    ManualClockScope manual;
    const QString image = makeImage("journal", kTree + "journal 33554432 1048576 4660\n"
                                                       "usn /docs/small.txt 100\nusn /docs/small.txt 80000100\n");
    auto d = openImage(image);
    const USN_JOURNAL_DATA_V1 j = queryJournal(*d);
    EXPECT_EQ(std::make_tuple(j.UsnJournalID, j.FirstUsn, j.MaximumSize),
              std::make_tuple(4660ull, USN(1048576), 33554432ull));

    JournalRead r = readJournal(*d, readRequest(j, j.FirstUsn));
    ASSERT_TRUE(r.ok && r.records.size() == 2u) << r.error << " " << r.records.size();
    EXPECT_EQ(std::make_tuple(r.records[0].name, r.records[0].usn, r.records[0].reason, r.records[1].reason, r.next),
              std::make_tuple(std::u16string(u"small.txt"), j.FirstUsn, DWORD(USN_REASON_FILE_CREATE),
                              DWORD(USN_REASON_FILE_CREATE | USN_REASON_CLOSE), j.NextUsn));
    auto closesOnly = readRequest(j, j.FirstUsn);
    closesOnly.ReturnOnlyOnClose = 1;
    EXPECT_EQ(readJournal(*d, closesOnly).records.size(), 1u);
    // Below the first USN: deleted entries; another journal id: refused; no room for a record: too small.
    auto otherId = readRequest(j, j.FirstUsn);
    otherId.UsnJournalID ^= 1;
    const struct { READ_USN_JOURNAL_DATA_V1 request; DWORD outSize, error; } refused[] = {
        {readRequest(j, j.FirstUsn - 8), 8200, ERROR_JOURNAL_ENTRY_DELETED},
        {otherId, 8200, ERROR_INVALID_PARAMETER},
        {readRequest(j, j.FirstUsn), 40, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : refused) {
        r = readJournal(*d, c.request, c.outSize);
        EXPECT_TRUE(!r.ok && r.error == c.error) << c.error;
    }

    // A read at the end waits; a record appended by another writer wakes it.
    WaitedRead w = waitingRead(*d, manual.clock, readRequest(j, j.NextUsn, 1, 0),
                               [&] { change(image, "file /docs/new.txt 20\nusn /docs/new.txt 100\n"); });
    EXPECT_TRUE(w.waited && w.ended && w.ok);
    ASSERT_EQ(w.records.size(), 1u);
    EXPECT_EQ(w.records[0].name, u"new.txt");
    USN_JOURNAL_DATA_V1 grown = queryJournal(*d);
    const USN_JOURNAL_DATA_V1 reopened = queryJournal(*openImage(image)); // a saved position stays inside
    EXPECT_TRUE(reopened.FirstUsn <= j.NextUsn && j.NextUsn < reopened.NextUsn);
    // Less than the bytes waited for arrives: the time-out ends the wait with what there is.
    w = waitingRead(*d, manual.clock, readRequest(grown, grown.NextUsn, 4096),
                    [&] { change(image, "usn /docs/new.txt 80000100\n"); });
    EXPECT_TRUE(w.waited && w.ended && w.ok && w.records.size() == 1u) << w.records.size();
    grown = queryJournal(*d);
    // Without a time-out only a cancel ends it.
    w = waitingRead(*d, manual.clock, readRequest(grown, grown.NextUsn, 4096, 0), [&] {
        advanceUntil(manual.clock, [] { return false; }, 100); // twice the time-out of the others
        d->cancelIo();
    });
    EXPECT_TRUE(w.waited && w.ended && w.error == DWORD(ERROR_OPERATION_ABORTED)) << w.error;

    // A damaged record (name far past its end, filler to near the page end) is skipped to the next page.
    USN_RECORD_V2 header;
    std::memset(&header, 0xAB, sizeof header);
    header.RecordLength = 64;
    header.MajorVersion = 2;
    header.FileNameLength = 2000;
    header.FileNameOffset = 60;
    std::vector<uint8_t> bad(4096 - grown.NextUsn % 4096 - 24, 0xAB);
    std::memcpy(bad.data(), &header, offsetof(USN_RECORD_V2, FileName));
    {
        ZNtfsFixture fixture;
        ASSERT_TRUE(fixture.open(image.toStdString()) && fixture.appendRawUsn(bad)
                    && fixture.runScript("usn /docs/big.bin 100\n") && fixture.close())
            << fixture.lastError();
    }
    r = readJournal(*d, readRequest(grown, grown.NextUsn));
    ASSERT_TRUE(r.ok && r.records.size() == 1u);
    EXPECT_EQ(std::make_pair(r.records[0].name, r.records[0].usn % 4096),
              std::make_pair(std::u16string(u"big.bin"), USN(0)));
}

#endif // SEARCH_HAVE_NTFS_FIXTURE
