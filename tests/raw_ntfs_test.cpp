// The raw NTFS volume device against real NTFS images: Debian's forensic
// sample disk, images made by ntfsfixture (libntfs-3g), hand-made damage,
// and the independent reader fsntfsinfo as the reference.
#include "platform/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/ZNtfsFixup.h"
#include "platform/ZNtfsPartition.h"
#include "platform/ZNtfsRecord.h"
#include "platform/ZNtfsRunList.h"
#include "platform/ZRawNtfsVolume.h"
#include "platform/win32_file.h"
#include "platform/win32_ioctl.h"
#include "support/TestEnvironment.h"
#include "volume/ZDirectoryNode.h"
#include "volume/ZDriveVolume.h"

#ifdef SEARCH_HAVE_NTFS_FIXTURE
#include "ZNtfsFixture.h"
#include "client/ZSharedPoolReader.h"
#include "support/ZServiceTestKit.h"
#endif

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace Platform;

namespace {

constexpr DWORD kEnumBufferSize = 0x80008;
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
    QString error;
    return ZRawNtfsVolume::create(std::unique_ptr<ZNtfsImageSource>(new ZNtfsMemoryImage(std::move(bytes))), &error);
}

std::vector<BYTE> readAll(const QString& path)
{
    QFile f(path);
    const QByteArray b = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    return std::vector<BYTE>(b.begin(), b.end());
}

NTFS_VOLUME_DATA_BUFFER volumeData(ZVolumeDevice& d)
{
    NTFS_VOLUME_DATA_BUFFER v{};
    DWORD n = 0;
    EXPECT_TRUE(d.deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &v, sizeof v, &n));
    return v;
}

USN_JOURNAL_DATA_V1 queryJournal(ZVolumeDevice& d)
{
    USN_JOURNAL_DATA_V1 j{};
    DWORD n = 0;
    EXPECT_TRUE(d.deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &n));
    return j;
}

struct UsnEntry {
    ULONGLONG reference, parent;
    DWORD attributes, reason;
    USN usn;
    std::u16string name;
};

// The USN_RECORD_V2 entries after the 8-byte position of an enumeration or journal read.
std::vector<UsnEntry> usnEntries(const std::vector<BYTE>& buffer, DWORD n)
{
    std::vector<UsnEntry> out;
    for (DWORD p = 8; p < n;) {
        USN_RECORD_V2 r;
        EXPECT_LE(p + offsetof(USN_RECORD_V2, FileName), n);
        if (p + offsetof(USN_RECORD_V2, FileName) > n)
            break;
        std::memcpy(&r, buffer.data() + p, offsetof(USN_RECORD_V2, FileName));
        EXPECT_GE(r.RecordLength, offsetof(USN_RECORD_V2, FileName));
        EXPECT_LE(p + r.RecordLength, n);
        EXPECT_EQ(r.RecordLength % 8, 0u);
        if (r.RecordLength < offsetof(USN_RECORD_V2, FileName) || p + r.RecordLength > n)
            break;
        std::u16string name(r.FileNameLength / 2, u'\0');
        std::memcpy(&name[0], buffer.data() + p + r.FileNameOffset, r.FileNameLength);
        out.push_back({r.FileReferenceNumber, r.ParentFileReferenceNumber, r.FileAttributes, r.Reason, r.Usn, name});
        p += r.RecordLength;
    }
    return out;
}

// The whole FSCTL_ENUM_USN_DATA walk; *lastError gets the error that ended it.
std::vector<UsnEntry> enumerate(ZVolumeDevice& d, USN highUsn, DWORD* lastError = nullptr)
{
    std::vector<UsnEntry> out;
    MFT_ENUM_DATA_V1 request{};
    request.HighUsn = highUsn;
    request.MinMajorVersion = request.MaxMajorVersion = 2;
    std::vector<BYTE> buffer(kEnumBufferSize);
    DWORD n = 0;
    for (int calls = 0; calls < 1000000; ++calls) {
        if (!d.deviceIoControl(FSCTL_ENUM_USN_DATA, &request, sizeof request, buffer.data(), kEnumBufferSize, &n))
            break;
        EXPECT_GE(n, 8u);
        std::memcpy(&request.StartFileReferenceNumber, buffer.data(), 8);
        for (const UsnEntry& e : usnEntries(buffer, n))
            out.push_back(e);
    }
    if (lastError)
        *lastError = GetLastError();
    return out;
}

std::set<std::u16string> enumeratedNames(ZVolumeDevice& d)
{
    std::set<std::u16string> names;
    for (const UsnEntry& e : enumerate(d, queryJournal(d).NextUsn))
        names.insert(e.name);
    return names;
}

// One file record through FSCTL_GET_NTFS_FILE_RECORD; the record number
// that answered in *answered.
bool fileRecord(ZVolumeDevice& d, ULONGLONG record, std::vector<BYTE>& rec, ULONGLONG* answered = nullptr)
{
    const DWORD size = volumeData(d).BytesPerFileRecordSegment;
    std::vector<BYTE> out(size + 12);
    NTFS_FILE_RECORD_INPUT_BUFFER in;
    in.FileReferenceNumber.QuadPart = LONGLONG(record);
    DWORD n = 0;
    if (!d.deviceIoControl(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, out.data(), DWORD(out.size()), &n))
        return false;
    EXPECT_EQ(n, size + 12);
    ULONGLONG ref;
    std::memcpy(&ref, out.data(), 8);
    if (answered)
        *answered = ref & Ntfs::kRecordNumberMask;
    rec.assign(out.begin() + 12, out.end());
    return true;
}

// What an index holds of one file: every non-DOS name with its parent, and
// the size of the unnamed $DATA.
struct IndexedFile {
    std::set<std::pair<std::u16string, ULONGLONG>> names;
    LONGLONG size = -1;
    bool directory = false;
};
using Index = std::map<ULONGLONG, IndexedFile>;

// fsntfsinfo's body file of the volume at `offset`, as the same map.
// Metadata files (0..15) are left out, as the enumeration leaves them out.
Index referenceIndex(const QString& image, qulonglong offset)
{
    Index files;
    const QString body = TestSupport::freshDir(QStringLiteral("body")) + QStringLiteral("/body.txt");
    QProcess p;
    p.start(QStringLiteral("fsntfsinfo"), {QStringLiteral("-o"), QString::number(offset), QStringLiteral("-H"),
                                           QStringLiteral("-B"), body, image});
    QFile f(body);
    if (!p.waitForFinished(120000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return files;
    const QString sep = QStringLiteral("\\\\");
    std::map<QString, ULONGLONG> recordOfPath{{sep, Ntfs::RecordRoot}};
    struct Line {
        QString path;
        ULONGLONG record;
        bool directory;
        LONGLONG size;
    };
    std::vector<Line> lines;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(raw).split(QLatin1Char('|'));
        if (fields.size() < 7 || fields[1].endsWith(QStringLiteral(" ($FILE_NAME)")))
            continue;
        QString path = fields[1];
        const int colon = path.indexOf(QLatin1Char(':'), path.lastIndexOf(sep));
        if (colon >= 0)
            path.truncate(colon); // a named stream
        const ULONGLONG record = fields[2].toULongLong();
        recordOfPath[path] = record;
        lines.push_back({path, record, fields[3].startsWith(QLatin1Char('d')), colon >= 0 ? -1 : fields[6].toLongLong()});
    }
    for (const Line& l : lines) {
        if (l.record < Ntfs::RecordFirstUser)
            continue;
        const int lastSep = l.path.lastIndexOf(sep);
        IndexedFile& file = files[l.record];
        file.directory = l.directory;
        file.names.insert({l.path.mid(lastSep + sep.size()).toStdU16String(),
                           recordOfPath[lastSep <= 0 ? sep : l.path.left(lastSep)]});
        if (!l.directory && l.size >= 0)
            file.size = l.size;
    }
    for (auto& entry : files) {
        if (entry.second.size < 0 && !entry.second.directory)
            entry.second.size = 0;
    }
    return files;
}

void expectSameIndex(const Index& actual, const Index& expected)
{
    ASSERT_FALSE(expected.empty());
    std::set<ULONGLONG> a, e;
    for (const auto& x : actual)
        a.insert(x.first);
    for (const auto& x : expected)
        e.insert(x.first);
    EXPECT_EQ(a, e);
    for (const auto& [record, want] : expected) {
        auto it = actual.find(record);
        if (it == actual.end())
            continue;
        EXPECT_EQ(it->second.names, want.names) << "record " << record;
        EXPECT_EQ(it->second.directory, want.directory) << "record " << record;
        if (!want.directory) {
            EXPECT_EQ(std::max<LONGLONG>(it->second.size, 0), want.size) << "record " << record;
        }
    }
}

// The drive's index built by the volume code from the device in the drive
// table under `letter`.
class IndexBuild {
public:
    IndexBuild(char16_t letter, std::shared_ptr<ZVolumeDevice> device) : letter_(letter)
    {
        ZDriveTable::instance().setDrive(letter, std::move(device));
        volume.reset(new SearchEngine::ZDriveVolume(letter));
        opened = volume->initDriveVolume() == SearchEngine::ZDriveVolume::InitOk;
    }
    ~IndexBuild()
    {
        SearchEngine::freeDirectoryNodes(known, pending);
        volume->closeVolume();
        volume.reset();
        ZDriveTable::instance().removeDrive(letter_);
    }
    Index build()
    {
        volume->enumerateMft([this](USN_RECORD_V2* rec) { volume->addEnumeratedRecord(rec, pending, known); });
        Index out;
        for (const auto& entry : volume->recordMap) {
            const SearchEngine::ItemRecord* r = entry.second;
            IndexedFile& f = out[r->recordNumber];
            f.names.insert({QString::fromUtf8(r->nameBytes(), r->nameLength).toStdU16String(), r->parentRecordNumber});
            f.directory = (r->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            f.size = LONGLONG(r->fileSize);
        }
        return out;
    }

    std::unique_ptr<SearchEngine::ZDriveVolume> volume;
    bool opened = false;

private:
    char16_t letter_;
    SearchEngine::DirectoryMap known;
    SearchEngine::DirectoryMap pending;
};

bool haveProgram(const char* name)
{
    const QString program = QString::fromLatin1(name);
    return !QStandardPaths::findExecutable(program).isEmpty()
           || !QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}).isEmpty();
}

// The forensic sample disk (an MBR disk image), unpacked once per run.
QString sampleImage()
{
    static QString path;
    if (!path.isEmpty() || !QFile::exists(QString::fromLatin1(kSampleImage)) || !haveProgram("xz"))
        return path;
    const QString out = TestSupport::freshDir(QStringLiteral("sample")) + QStringLiteral("/fs.ntfs");
    QProcess p;
    p.setStandardOutputFile(out);
    p.start(QStringLiteral("xz"), {QStringLiteral("-dc"), QString::fromLatin1(kSampleImage)});
    if (p.waitForFinished(120000) && p.exitCode() == 0)
        path = out;
    return path;
}

#define REQUIRE_SAMPLE()                                                        \
    const QString image = sampleImage();                                        \
    if (image.isEmpty())                                                        \
    GTEST_SKIP() << "forensics-samples-ntfs not installed"

} // namespace

// ---------------------------------------------------------------------------
// Building blocks.

TEST(RawNtfsRunList, DecodesRunsHolesAndBackwardOffsetsAndRejectsMalformedPairs)
{
    // 0x21: 1-byte length, 2-byte offset. Runs: 8 @ 0x100, hole of 4, 2 @ 0x100 - 0x80.
    const BYTE pairs[] = {0x21, 0x08, 0x00, 0x01, 0x01, 0x04, 0x11, 0x02, 0x80, 0x00};
    ZNtfsRunList runs;
    ASSERT_TRUE(runs.decode(pairs, sizeof pairs, 0, 0x1000));
    ASSERT_TRUE(runs.finish());
    ASSERT_EQ(runs.runs().size(), 3u);
    EXPECT_EQ(runs.runs()[0].lcn, 0x100);
    EXPECT_EQ(runs.runs()[1].lcn, ZNtfsRunList::kSparseLcn);
    EXPECT_EQ(runs.runs()[2].vcn, 12);
    EXPECT_EQ(runs.runs()[2].lcn, 0x80);
    EXPECT_EQ(runs.endVcn(), 14);
    EXPECT_EQ(runs.find(9)->lcn, ZNtfsRunList::kSparseLcn);
    EXPECT_EQ(runs.find(14), nullptr);

    const std::vector<std::vector<BYTE>> malformed = {
        {0x21, 0x10, 0xF8, 0x0F, 0x00},              // 16 clusters at 0xFF8 of 0x1000
        {0x11, 0x01, 0x80, 0x00},                    // first run at cluster -128
        {0x33, 0x01, 0x02},                          // cut short
        {0x11, 0x00, 0x10, 0x00},                    // zero length
        {0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0},     // a length field wider than 8 bytes
    };
    for (const auto& bad : malformed) {
        ZNtfsRunList rejected;
        EXPECT_FALSE(rejected.decode(bad.data(), bad.size(), 0, 0x1000)) << int(bad[0]);
    }
    ZNtfsRunList overlapping;
    const BYTE one[] = {0x11, 0x04, 0x10, 0x00};
    ASSERT_TRUE(overlapping.decode(one, sizeof one, 0, 0x1000));
    ASSERT_TRUE(overlapping.decode(one, sizeof one, 2, 0x1000));
    EXPECT_FALSE(overlapping.finish());
}

TEST(RawNtfsFixup, RestoresStridesAndRejectsATornRecord)
{
    std::vector<BYTE> rec(1024, 0);
    const DWORD signature = Ntfs::kFileRecordSignature;
    const WORD header[] = {0x30, 3}; // USA offset, USA count
    const WORD usa[] = {0x1234, 0xAAAA, 0xBBBB};
    std::memcpy(rec.data(), &signature, 4);
    std::memcpy(rec.data() + 4, header, 4);
    std::memcpy(rec.data() + 0x30, usa, 6);
    std::memcpy(rec.data() + 510, &usa[0], 2);
    std::memcpy(rec.data() + 1022, &usa[0], 2);
    std::vector<BYTE> torn = rec, tooManyStrides = rec;
    ASSERT_TRUE(applyNtfsFixups(rec.data(), rec.size(), signature));
    EXPECT_EQ(rec[510], 0xAA);
    EXPECT_EQ(rec[1023], 0xBB);
    torn[1022] ^= 1;
    EXPECT_FALSE(applyNtfsFixups(torn.data(), torn.size(), signature));
    tooManyStrides[6] = 9;
    EXPECT_FALSE(applyNtfsFixups(tooManyStrides.data(), tooManyStrides.size(), signature));
}

TEST(RawNtfsVolume, FatExFatAndGarbageAreNotNtfs)
{
    std::vector<BYTE> fat32(1 << 16, 0);
    std::memcpy(fat32.data() + 3, "MSWIN4.1", 8);
    std::memcpy(fat32.data() + 82, "FAT32   ", 8);
    fat32[510] = 0x55;
    fat32[511] = 0xAA;
    auto fat = openBytes(fat32);
    VolumeInformation info;
    ASSERT_TRUE(fat->volumeInformation(info));
    EXPECT_EQ(info.fileSystemName, u"FAT32");
    EXPECT_FALSE(fat->isNtfs());
    NTFS_VOLUME_DATA_BUFFER v;
    DWORD n;
    EXPECT_FALSE(fat->deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &v, sizeof v, &n));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    std::vector<BYTE> exfat(1 << 16, 0);
    std::memcpy(exfat.data() + 3, "EXFAT   ", 8);
    ASSERT_TRUE(openBytes(exfat)->volumeInformation(info));
    EXPECT_EQ(info.fileSystemName, u"exFAT");
    EXPECT_FALSE(openBytes(std::vector<BYTE>(4096, 0x5A))->volumeInformation(info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNRECOGNIZED_VOLUME));
    EXPECT_FALSE(openRawNtfsVolume(TestSupport::testRoot() + QStringLiteral("/missing.img"), nullptr));
}

// ---------------------------------------------------------------------------
// Debian's forensic sample: an MBR disk with one NTFS partition.

TEST(RawNtfsSample, DeviceCallsAndRecordReadsAnswerAsWindowsDoes)
{
    REQUIRE_SAMPLE();
    auto d = openImage(image);
    ASSERT_TRUE(d && d->isNtfs());
    const NTFS_VOLUME_DATA_BUFFER v = volumeData(*d);
    EXPECT_EQ(v.BytesPerCluster, 4096u);
    EXPECT_EQ(v.BytesPerFileRecordSegment, 1024u);
    EXPECT_GT(v.FreeClusters.QuadPart, 0);
    EXPECT_LT(v.FreeClusters.QuadPart, v.TotalClusters.QuadPart);
    DWORD last = 0;
    std::set<std::u16string> names;
    for (const auto& e : enumerate(*d, queryJournal(*d).NextUsn, &last))
        names.insert(e.name);
    EXPECT_EQ(last, DWORD(ERROR_HANDLE_EOF));
    // The deleted folders ("...2") are gone, the kept ones are there.
    EXPECT_TRUE(names.count(u"audio1") && names.count(u"debian.mp3"));
    EXPECT_FALSE(names.count(u"audio2") || names.count(u"deleted.mp3"));

    std::vector<BYTE> rec;
    ULONGLONG answered = 0;
    ASSERT_TRUE(fileRecord(*d, 65, rec, &answered));
    EXPECT_EQ(answered, 65u);
    EXPECT_EQ(recordHeader(rec.data()).flags & Ntfs::RecordInUse, Ntfs::RecordInUse);
    // Records 68..71 held audio2's files, deleted: the answer is 67.
    ASSERT_TRUE(fileRecord(*d, 69, rec, &answered));
    EXPECT_EQ(answered, 67u);
    ASSERT_TRUE(fileRecord(*d, 0xFFFFFFull, rec, &answered)); // far beyond: the last record in use
    EXPECT_LE(answered, 0xFFFFFFull);
    // Raw reads must be sector-aligned, as on a volume handle; past the end they read nothing.
    BYTE buffer[512];
    DWORD n = 0;
    EXPECT_FALSE(d->read(3, buffer, sizeof buffer, &n));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(d->read(1ull << 40, buffer, sizeof buffer, &n));
    EXPECT_EQ(n, 0u);

    // The volume's first sector is its boot sector, whatever the partition offset.
    ASSERT_TRUE(d->read(0, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::memcmp(buffer + 3, "NTFS    ", 8), 0);
    VolumeInformation info;
    ASSERT_TRUE(d->volumeInformation(info));
    EXPECT_EQ(info.fileSystemName, u"NTFS");
    EXPECT_EQ(info.serialNumber, DWORD(v.VolumeSerialNumber.QuadPart));
}

TEST(RawNtfsSample, IndexHoldsWhatFsntfsinfoLists)
{
    REQUIRE_SAMPLE();
    if (!haveProgram("fsntfsinfo"))
        GTEST_SKIP() << "fsntfsinfo not installed";
    EXPECT_EQ(locateVolume(*openNtfsImageFile(image, nullptr)).offset, kSampleVolumeStart);
    IndexBuild index(u'D', openRawNtfsVolume(image, nullptr));
    ASSERT_TRUE(index.opened);
    expectSameIndex(index.build(), referenceIndex(image, kSampleVolumeStart));
}

TEST(RawNtfsSample, HostileCopiesNeverCrashOrHang)
{
    REQUIRE_SAMPLE();
    const std::vector<BYTE> clean = readAll(image);
    ASSERT_FALSE(clean.empty());
    const NTFS_VOLUME_DATA_BUFFER v = volumeData(*openImage(image));
    const size_t mftStart = kSampleVolumeStart + size_t(v.MftStartLcn.QuadPart) * v.BytesPerCluster;
    std::mt19937 random(12345);
    for (int round = 0; round < 40; ++round) {
        std::vector<BYTE> bytes(clean.begin(), clean.begin() + std::min(clean.size(), mftStart + (256u << 10)));
        bytes.resize(clean.size() / 4); // a cut-off image too
        for (int i = 0, flips = 1 + int(random() % 200); i < flips; ++i) {
            const size_t at =
                (round % 4 == 0) ? kSampleVolumeStart + random() % 512 : mftStart + random() % (128u << 10);
            if (at < bytes.size())
                bytes[at] = BYTE(random());
        }
        auto d = openBytes(bytes);
        VolumeInformation info;
        d->volumeInformation(info);
        if (!d->isNtfs())
            continue;
        std::vector<BYTE> rec;
        enumerate(*d, std::numeric_limits<LONGLONG>::max());
        for (ULONGLONG r = 0; r < 128; r += 7)
            fileRecord(*d, r, rec);
        queryJournal(*d);
    }
}

// ---------------------------------------------------------------------------
// Images made by ntfsfixture.

#ifdef SEARCH_HAVE_NTFS_FIXTURE

namespace {

using SearchEngine::ZNtfsFixture;

// The fixture images need mkntfs (Debian's ntfs-3g).
#define REQUIRE_MKNTFS()                                                        \
    do {                                                                        \
        if (!haveProgram("mkntfs"))                                             \
            GTEST_SKIP() << "mkntfs (ntfs-3g) not installed";                   \
    } while (0)

std::string manyLinks()
{
    std::string script;
    for (int i = 1; i <= 7; ++i)
        script += "link /docs/many.txt /docs/sub/many-link-0" + std::to_string(i)
                  + "-with-a-rather-long-name-to-fill-the-base-record-quickly-xxxxxxxxxxxxxxxxxxxxxxxxxx.txt\n";
    return script;
}

const std::string kTree = "mkdir /docs/sub\n"
                          "file /docs/small.txt 100\n"
                          "file /docs/big.bin 300000\n"
                          "file /docs/ünïcødé-名前.txt 10\n"
                          "file /docs/a-very-long-name-" + std::string(193, 'a') + ".txt 5\n"
                          "link /docs/small.txt /docs/sub/hardlink.txt\n"
                          "file /docs/many.txt 10\n" + manyLinks() +
                          "file /docs/streamy.txt 10\n"
                          "streams /docs/streamy.txt 12 100\n"
                          "file /gone/deleted.txt 10\n"
                          "file /gone/kept.txt 10\n"
                          "delete /gone/deleted.txt\n";

QString makeImage(const QString& name, const std::string& script, uint64_t size = 32u << 20)
{
    const QString path = TestSupport::freshDir(name) + QStringLiteral("/volume.img");
    std::string error;
    EXPECT_TRUE(ZNtfsFixture::format(path.toStdString(), size, 4096, "fixture", &error)) << error;
    ZNtfsFixture fixture;
    EXPECT_TRUE(fixture.open(path.toStdString())) << fixture.lastError();
    EXPECT_TRUE(fixture.runScript(script)) << fixture.lastError();
    EXPECT_TRUE(fixture.close()) << fixture.lastError();
    return path;
}

bool change(const QString& image, const std::string& script)
{
    ZNtfsFixture fixture;
    return fixture.open(image.toStdString()) && fixture.runScript(script) && fixture.close();
}

class ManualClockScope {
public:
    ManualClockScope() { setClock(&clock); }
    ~ManualClockScope() { setClock(nullptr); }
    ZManualClock clock;
};

READ_USN_JOURNAL_DATA_V1 readRequest(const USN_JOURNAL_DATA_V1& j, USN start, ULONGLONG waitFor = 0)
{
    READ_USN_JOURNAL_DATA_V1 r{};
    r.StartUsn = start;
    r.ReasonMask = 0xFFFFFFFFu;
    r.Timeout = ULONGLONG(-50000000LL);
    r.BytesToWaitFor = waitFor;
    r.UsnJournalID = j.UsnJournalID;
    r.MinMajorVersion = r.MaxMajorVersion = 2;
    return r;
}

// One journal read; false with *error on failure.
bool readJournal(ZVolumeDevice& d, const READ_USN_JOURNAL_DATA_V1& request, std::vector<UsnEntry>& records,
                 DWORD* error = nullptr, DWORD outSize = 8200, USN* next = nullptr)
{
    std::vector<BYTE> out(outSize);
    DWORD n = 0;
    const bool ok = d.deviceIoControl(FSCTL_READ_USN_JOURNAL, &request, sizeof request, out.data(), outSize, &n);
    if (error)
        *error = ok ? 0 : GetLastError();
    records = ok ? usnEntries(out, n) : std::vector<UsnEntry>();
    if (ok && next)
        std::memcpy(next, out.data(), 8);
    return ok;
}

} // namespace

TEST(RawNtfsFixture, TreeWithLinksListsAndDeletionsMatchesFsntfsinfo)
{
    REQUIRE_MKNTFS();
    const QString image = makeImage(QStringLiteral("tree"), kTree);
    IndexBuild index(u'T', openRawNtfsVolume(image, nullptr));
    ASSERT_TRUE(index.opened);
    const Index files = index.build();
    // Hard links: one record, several names; the attribute list carries names
    // in extension records.
    bool sawLinks = false, sawEight = false, sawUnicode = false;
    for (const auto& f : files) {
        sawLinks |= f.second.names.count({u"hardlink.txt", 65}) && f.second.names.count({u"small.txt", 64});
        sawEight |= f.second.names.size() == 8;
        for (const auto& n : f.second.names) {
            sawUnicode |= n.first == u"ünïcødé-名前.txt";
            EXPECT_NE(n.first, u"deleted.txt");
        }
    }
    EXPECT_TRUE(sawLinks && sawEight && sawUnicode);
    if (!haveProgram("fsntfsinfo"))
        GTEST_SKIP() << "fsntfsinfo not installed";
    expectSameIndex(files, referenceIndex(image, 0));
}

// Without a journal the volume shows an empty one whose position moves on
// every change, so a cache is reused only until the image changes.
TEST(RawNtfsFixture, CacheIsReusedUntilTheImageChanges)
{
    REQUIRE_MKNTFS();
    const QString plain = makeImage(QStringLiteral("cache"), kTree);
    {
        auto d = openImage(plain);
        const USN_JOURNAL_DATA_V1 before = queryJournal(*d);
        EXPECT_EQ(before.FirstUsn, before.NextUsn);
        EXPECT_GT(before.NextUsn, 0);
        // Nothing is ever written: creation changes nothing, deletion is refused.
        CREATE_USN_JOURNAL_DATA create{8u << 20, 1u << 20};
        DWORD n = 0;
        EXPECT_TRUE(d->deviceIoControl(FSCTL_CREATE_USN_JOURNAL, &create, sizeof create, nullptr, 0, &n));
        DELETE_USN_JOURNAL_DATA del{before.UsnJournalID, USN_DELETE_FLAG_NOTIFY, {}};
        EXPECT_TRUE(d->deviceIoControl(FSCTL_DELETE_USN_JOURNAL, &del, sizeof del, nullptr, 0, &n));
        del.DeleteFlags = USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY;
        EXPECT_FALSE(d->deviceIoControl(FSCTL_DELETE_USN_JOURNAL, &del, sizeof del, nullptr, 0, &n));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_WRITE_PROTECT));
        EXPECT_EQ(queryJournal(*d).NextUsn, before.NextUsn);
        // Every record is enumerated under the position; a read there returns nothing, at once.
        EXPECT_GT(enumerate(*d, before.NextUsn).size(), 10u);
        std::vector<UsnEntry> records{UsnEntry()};
        ASSERT_TRUE(readJournal(*d, readRequest(before, before.NextUsn), records));
        EXPECT_TRUE(records.empty());
    }
    const QString journaled = makeImage(QStringLiteral("cachej"), kTree + "journal 1048576 65536 3\n"
                                                                        "usn /docs/small.txt 100\n");
    const QString cacheFile = qEnvironmentVariable("XDG_DATA_HOME")
                              + QStringLiteral("/Orvanta/SearchService/DriveCacheK.dat");
    const auto inJournal = [](const QString& image, USN usn) {
        const USN_JOURNAL_DATA_V1 j = queryJournal(*openImage(image));
        return j.FirstUsn <= usn && usn <= j.NextUsn;
    };
    for (const QString& image : {plain, journaled}) {
        QFile::remove(cacheFile);
        USN saved = 0;
        {
            IndexBuild first(u'K', openRawNtfsVolume(image, nullptr));
            ASSERT_TRUE(first.opened);
            first.build();
            saved = first.volume->savedUsn = first.volume->journalData.NextUsn;
            first.volume->buildTime = QDateTime::currentDateTime();
            first.volume->saveDriveCache();
        }
        EXPECT_TRUE(inJournal(image, saved)) << "unchanged image";
        const bool cacheWritten = QFile::exists(cacheFile);
        if (cacheWritten) {
            IndexBuild again(u'K', openRawNtfsVolume(image, nullptr));
            ASSERT_TRUE(again.opened);
            EXPECT_TRUE(again.volume->loadDriveCache()) << "unchanged image";
            EXPECT_GT(again.volume->recordMap.size(), 10u);
        }
        ASSERT_TRUE(change(image, image == plain ? "file /docs/after.txt 1\n"
                                                 : "file /docs/after.txt 1\nusn /docs/after.txt 100\n"));
        // Without a journal the change cannot be replayed: the saved position
        // falls outside and the cache is rejected. With one, the cache stays
        // and the journal brings the change.
        EXPECT_EQ(inJournal(image, saved), image != plain);
        if (cacheWritten) {
            IndexBuild changed(u'K', openRawNtfsVolume(image, nullptr));
            ASSERT_TRUE(changed.opened);
            EXPECT_EQ(changed.volume->loadDriveCache(), image != plain);
        }
    }
    const USN afterCreation = queryJournal(*openImage(plain)).NextUsn;
    ASSERT_TRUE(change(plain, "delete /docs/after.txt\n"));
    EXPECT_NE(queryJournal(*openImage(plain)).NextUsn, afterCreation);
}

TEST(RawNtfsFixture, DosNamesGiveWayToWin32NamesAndAstralNamesComeThroughWhole)
{
    REQUIRE_MKNTFS();
    // (fsntfsinfo 20200921 garbles surrogate pairs, so it is no reference here.)
    const QString image = makeImage(QStringLiteral("dos"), "file /LongFileName.txt 5\n"
                                                         "dosname /LongFileName.txt LONGFI~1.TXT\n"
                                                         "mkdir /Program-Files\n"
                                                         "dosname /Program-Files PROGRA~1\n"
                                                         "file /smile-😀.txt 1\nmkdir /𝄞-music\n");
    auto d = openImage(image);
    const std::set<std::u16string> names = enumeratedNames(*d);
    for (const char16_t* name : {u"LongFileName.txt", u"Program-Files", u"smile-😀.txt", u"𝄞-music"})
        EXPECT_TRUE(names.count(name)) << QString::fromUtf16(name).toStdString();
    EXPECT_FALSE(names.count(u"LONGFI~1.TXT") || names.count(u"PROGRA~1"));
    IndexBuild index(u'N', d);
    ASSERT_TRUE(index.opened);
    std::set<std::u16string> indexed;
    for (const auto& f : index.build())
        for (const auto& n : f.second.names)
            indexed.insert(n.first);
    EXPECT_EQ(indexed, names);
}

TEST(RawNtfsFixture, FragmentedMftIsReadThroughItsRuns)
{
    REQUIRE_MKNTFS();
    std::string script = "fragment\n";
    for (int i = 0; i < 12; ++i)
        script += "many /bulk" + std::to_string(i) + " 150\n";
    const QString image = makeImage(QStringLiteral("fragmented"), script, 24u << 20);
    auto d = openImage(image);
    ASSERT_TRUE(d->isNtfs());
    // $MFT's own data runs: more than one extent.
    std::vector<BYTE> rec;
    ASSERT_TRUE(fileRecord(*d, Ntfs::RecordMft, rec));
    size_t runs = 0;
    bool hasList = false;
    ZNtfsAttributeWalk walk(rec.data(), rec.size());
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        hasList |= a->type == Ntfs::AttrAttributeList;
        if (a->type == Ntfs::AttrData && a->nonResident) {
            ZNtfsRunList list;
            const ZNtfsBytes pairs = mappingPairs(a);
            list.decode(pairs.data, pairs.size, a->u.nonResident.lowestVcn, volumeData(*d).TotalClusters.QuadPart);
            runs += list.runs().size();
        }
    }
    EXPECT_TRUE(runs > 2 || hasList) << runs;
    IndexBuild index(u'F', d);
    ASSERT_TRUE(index.opened);
    const Index files = index.build();
    size_t bulk = 0;
    for (const auto& f : files)
        for (const auto& n : f.second.names)
            bulk += n.first.size() > 1 && n.first[0] == u'f' && n.first[1] >= u'0' && n.first[1] <= u'9';
    EXPECT_EQ(bulk, 12u * 150u);
    if (haveProgram("fsntfsinfo"))
        expectSameIndex(files, referenceIndex(image, 0));
}

TEST(RawNtfsFixture, PartitionedDiskImagesUseTheFirstNtfsPartition)
{
    REQUIRE_MKNTFS();
    const std::vector<BYTE> volume = readAll(makeImage(QStringLiteral("part"), "file /x.txt 5\n", 8u << 20));
    ASSERT_FALSE(volume.empty());
    const size_t start = 2048 * 512;
    auto put = [](std::vector<BYTE>& disk, size_t at, ULONGLONG value, size_t width) {
        std::memcpy(&disk[at], &value, width);
    };
    auto bootSignature = [&](std::vector<BYTE>& disk, size_t sector) { put(disk, sector + 510, 0xAA55, 2); };
    // GPT: protective MBR, header at LBA 1, entries at LBA 2.
    std::vector<BYTE> gpt(start + volume.size() + 512, 0);
    gpt[446 + 4] = 0xEE;
    put(gpt, 446 + 8, 1, 4);
    put(gpt, 446 + 12, 0xFFFFFFFF, 4);
    bootSignature(gpt, 0);
    std::memcpy(&gpt[512], "EFI PART", 8);
    put(gpt, 512 + 72, 2, 8);   // entries LBA
    put(gpt, 512 + 80, 4, 4);   // entry count
    put(gpt, 512 + 84, 128, 4); // entry size
    gpt[1024] = 0xA2;           // a partition type GUID, not zero
    put(gpt, 1024 + 32, 2048, 8);
    put(gpt, 1024 + 40, 2048 + volume.size() / 512 - 1, 8);
    std::memcpy(&gpt[start], volume.data(), volume.size());
    auto d = openBytes(gpt);
    ASSERT_TRUE(d->isNtfs());
    EXPECT_TRUE(enumeratedNames(*d).count(u"x.txt"));

    // MBR with an empty first slot and a FAT partition before the NTFS one.
    std::vector<BYTE> mbr(start * 2 + volume.size(), 0);
    mbr[446 + 16 + 4] = 0x0C;
    put(mbr, 446 + 16 + 8, 64, 4);
    put(mbr, 446 + 16 + 12, 64, 4);
    mbr[446 + 32 + 4] = 0x07;
    put(mbr, 446 + 32 + 8, start * 2 / 512, 4);
    put(mbr, 446 + 32 + 12, volume.size() / 512, 4);
    bootSignature(mbr, 0);
    std::memcpy(&mbr[64 * 512 + 82], "FAT32   ", 8);
    bootSignature(mbr, 64 * 512);
    std::memcpy(&mbr[start * 2], volume.data(), volume.size());
    EXPECT_TRUE(openBytes(mbr)->isNtfs());
}

TEST(RawNtfsFixture, TornRecordCountsAsNotInUse)
{
    REQUIRE_MKNTFS();
    const QString image = makeImage(QStringLiteral("torn"), "file /a.txt 5\nfile /b.txt 5\nfile /c.txt 5\n");
    std::vector<BYTE> bytes = readAll(image);
    auto clean = openImage(image);
    const NTFS_VOLUME_DATA_BUFFER v = volumeData(*clean);
    std::map<std::u16string, ULONGLONG> records;
    for (const auto& e : enumerate(*clean, queryJournal(*clean).NextUsn))
        records[e.name] = e.reference & Ntfs::kRecordNumberMask;
    ASSERT_TRUE(records.count(u"b.txt"));
    // Damage the end of b.txt's first stride: its sequence number no longer matches.
    const size_t mft = size_t(v.MftStartLcn.QuadPart) * v.BytesPerCluster;
    bytes[mft + records[u"b.txt"] * v.BytesPerFileRecordSegment + 510] ^= 0xFF;
    auto d = openBytes(bytes);
    const std::set<std::u16string> names = enumeratedNames(*d);
    EXPECT_TRUE(names.count(u"a.txt") && names.count(u"c.txt"));
    EXPECT_FALSE(names.count(u"b.txt"));
    std::vector<BYTE> rec;
    ULONGLONG answered = 0;
    ASSERT_TRUE(fileRecord(*d, records[u"b.txt"], rec, &answered));
    EXPECT_EQ(answered, records[u"a.txt"]);
    // $MFT's own record torn: its copy in $MFTMirr still mounts the volume.
    bytes[mft + 510] ^= 0xFF;
    auto mirrored = openBytes(bytes);
    ASSERT_TRUE(mirrored->isNtfs());
    EXPECT_GT(enumerate(*mirrored, queryJournal(*mirrored).NextUsn).size(), 3u);
}

TEST(RawNtfsFixture, JournalIsReadFromJFollowedWhileAppendedAndWaitsEndOnTimeOutOrCancel)
{
    REQUIRE_MKNTFS();
    ManualClockScope manual;
    const QString image = makeImage(QStringLiteral("journal"), kTree + "journal 33554432 1048576 4660\n"
                                                                       "usn /docs/small.txt 100\n"
                                                                       "usn /docs/small.txt 80000100\n");
    auto d = openImage(image);
    const USN_JOURNAL_DATA_V1 j = queryJournal(*d);
    EXPECT_EQ(j.UsnJournalID, 4660u);
    EXPECT_EQ(j.FirstUsn, 1048576);
    EXPECT_EQ(j.MaximumSize, 33554432u);
    EXPECT_GT(j.NextUsn, j.FirstUsn);

    std::vector<UsnEntry> records;
    USN next = 0;
    ASSERT_TRUE(readJournal(*d, readRequest(j, j.FirstUsn), records, nullptr, 8200, &next));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, u"small.txt");
    EXPECT_EQ(records[0].usn, j.FirstUsn);
    EXPECT_EQ(records[0].reason, DWORD(USN_REASON_FILE_CREATE));
    EXPECT_EQ(records[1].reason, DWORD(USN_REASON_FILE_CREATE | USN_REASON_CLOSE));
    EXPECT_EQ(next, j.NextUsn);
    // Below the first USN: deleted entries. Another journal id: refused.
    DWORD error = 0;
    EXPECT_FALSE(readJournal(*d, readRequest(j, j.FirstUsn - 8), records, &error));
    EXPECT_EQ(error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    auto request = readRequest(j, j.FirstUsn);
    request.UsnJournalID ^= 1;
    EXPECT_FALSE(readJournal(*d, request, records, &error));
    EXPECT_EQ(error, DWORD(ERROR_INVALID_PARAMETER));
    request = readRequest(j, j.FirstUsn);
    request.ReturnOnlyOnClose = 1;
    ASSERT_TRUE(readJournal(*d, request, records));
    EXPECT_EQ(records.size(), 1u);

    // A read at the end waits; a record appended by another writer wakes it.
    std::atomic<bool> done{false};
    bool waitedOk = false;
    std::vector<UsnEntry> waited;
    std::thread reader([&] {
        waitedOk = readJournal(*d, readRequest(j, j.NextUsn, 1), waited);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load());
    ASSERT_TRUE(change(image, "file /docs/new.txt 20\nusn /docs/new.txt 100\n"));
    for (int i = 0; i < 2000 && !done; ++i) {
        manual.clock.advance(ZRawNtfsVolume::kJournalPollMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.join();
    ASSERT_TRUE(waitedOk);
    ASSERT_EQ(waited.size(), 1u);
    EXPECT_EQ(waited[0].name, u"new.txt");
    const USN_JOURNAL_DATA_V1 grown = queryJournal(*d);
    EXPECT_GT(grown.NextUsn, j.NextUsn);

    // Nothing more arrives: the time-out ends the wait with nothing.
    done = false;
    std::thread timeout([&] {
        waitedOk = readJournal(*d, readRequest(grown, grown.NextUsn, 4096), waited);
        done = true;
    });
    for (int i = 0; i < 4000 && !done; ++i) {
        manual.clock.advance(50);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    timeout.join();
    EXPECT_TRUE(waitedOk);
    EXPECT_TRUE(waited.empty());
    // Without a time-out only a cancel ends it.
    done = false;
    std::thread cancelled([&] {
        auto r = readRequest(grown, grown.NextUsn, 4096);
        r.Timeout = 0;
        waitedOk = readJournal(*d, r, waited, &error);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    d->cancelIo();
    cancelled.join();
    EXPECT_FALSE(waitedOk);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
}

TEST(RawNtfsFixture, JournalMonitorOfTheDriveGetsRecordsAppendedToTheImage)
{
    REQUIRE_MKNTFS();
    ManualClockScope manual;
    const QString image = makeImage(QStringLiteral("monitor"), kTree + "journal 1048576 65536 5\n"
                                                                       "usn /docs/small.txt 100\n");
    IndexBuild drive(u'M', openRawNtfsVolume(image, nullptr));
    ASSERT_TRUE(drive.opened);
    std::mutex lock;
    std::vector<std::pair<std::u16string, DWORD>> seen;
    std::atomic<bool> finished{false};
    std::thread monitor([&] {
        drive.volume->monitorUsnJournal(0, [&](USN_RECORD_V2* rec, DWORD, DWORD reasons) {
            std::lock_guard<std::mutex> g(lock);
            seen.push_back({std::u16string(rec->FileName, rec->FileNameLength / 2), reasons});
        });
        finished = true;
    });
    ASSERT_TRUE(change(image, "file /docs/new.txt 20\nusn /docs/new.txt 100\nusn /docs/new.txt 102\n"
                              "usn /docs/new.txt 80000102\n"));
    const auto count = [&] {
        std::lock_guard<std::mutex> g(lock);
        return seen.size();
    };
    for (int i = 0; i < 5000 && count() < 3; ++i) {
        manual.clock.advance(ZRawNtfsVolume::kJournalPollMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A stop is seen at the next read, once the waiting one has timed out.
    drive.volume->stopRequested = true;
    while (!finished) {
        manual.clock.advance(ZRawNtfsVolume::kJournalPollMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    monitor.join();
    // The record from before the start is not replayed; the new file's
    // reasons arrive as they first appear, and its data once more at the close.
    const std::vector<std::pair<std::u16string, DWORD>> want = {{u"new.txt", USN_REASON_FILE_CREATE},
                                                                {u"new.txt", USN_REASON_DATA_EXTEND},
                                                                {u"new.txt", USN_REASON_DATA_EXTEND}};
    EXPECT_EQ(seen, want);
}

TEST(RawNtfsFixture, DamagedJournalRecordsAreSkippedToTheNextPage)
{
    REQUIRE_MKNTFS();
    const QString image = makeImage(QStringLiteral("damaged"), "file /a 1\nfile /b 1\njournal 1048576 65536 11\n"
                                                             "usn /a 100\n");
    {
        ZNtfsFixture fixture;
        ASSERT_TRUE(fixture.open(image.toStdString()));
        // A record claiming a name far past its end, then filler to near the page end.
        std::vector<uint8_t> bad(4000, 0xAB);
        const uint32_t length = 64;
        const uint16_t major = 2, nameLength = 2000, nameOffset = 60;
        std::memcpy(&bad[0], &length, 4);
        std::memcpy(&bad[4], &major, 2);
        std::memcpy(&bad[56], &nameLength, 2);
        std::memcpy(&bad[58], &nameOffset, 2);
        ASSERT_TRUE(fixture.appendRawUsn(bad));
        ASSERT_TRUE(fixture.runScript("usn /b 100\n")) << fixture.lastError();
        ASSERT_TRUE(fixture.close());
    }
    auto d = openImage(image);
    const USN_JOURNAL_DATA_V1 j = queryJournal(*d);
    std::vector<UsnEntry> records;
    ASSERT_TRUE(readJournal(*d, readRequest(j, j.FirstUsn), records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, u"a");
    EXPECT_EQ(records[1].name, u"b");
    EXPECT_EQ(records[1].usn % 4096, 0);
    DWORD error = 0; // a buffer too small for one record
    EXPECT_FALSE(readJournal(*d, readRequest(j, j.FirstUsn), records, &error, 40));
    EXPECT_EQ(error, DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST(RawNtfsService, ImageDriveIsIndexedAndItsJournalFollowedToTheClients)
{
    REQUIRE_MKNTFS();
    using namespace ServiceTestKit;
    app();
    clearStartSettings();
    const QString image = makeImage(QStringLiteral("service"), kTree + "journal 1048576 65536 21\n"
                                                                       "usn /docs/small.txt 80000100\n");
    ZDriveTable::instance().clear();
    ZDriveTable::instance().setDrive(u'D', openRawNtfsVolume(image, nullptr));
    {
        ClockTicker ticker;
        RealService s;
        ASSERT_TRUE(s.started);
        TestClient client;
        ASSERT_TRUE(client.connectTo(s.service));
        size_t at = 0;
        const auto waitFor = [&](int type, ZClientMessage* out) {
            return spinUntil(
                [&] {
                    for (; at < client.messages.size(); ++at) {
                        if (client.messages[at].type == type) {
                            *out = client.messages[at++];
                            return true;
                        }
                    }
                    return false;
                },
                20000);
        };
        ZClientMessage ready;
        ASSERT_TRUE(waitFor(1, &ready));
        EXPECT_EQ(ready.drive, 'D');
        SearchEngine::ZSharedPoolReader reader(ready.poolName, 'D');
        EXPECT_GE(reader.attachPieces(), 1);
        EXPECT_EQ(reader.findNames(QStringLiteral("hardlink")).size(), 1);
        EXPECT_EQ(reader.findNames(QStringLiteral("many-link")).size(), 7);
        // Another writer adds a file and its journal records to the image.
        ASSERT_TRUE(change(image, "file /docs/fresh.txt 7\nusn /docs/fresh.txt 100\n"
                                  "usn /docs/fresh.txt 80000102\n"));
        ZClientMessage added;
        ASSERT_TRUE(waitFor(6, &added));
        SearchEngine::ZItemSnapshot item;
        ASSERT_EQ(reader.readItem(added.itemRef, &item), SearchEngine::ZSharedPoolReader::ReadOk);
        EXPECT_EQ(item.fileName(), QStringLiteral("fresh.txt"));
        EXPECT_EQ(item.parentRecordNumber, 64u);
        EXPECT_EQ(client.decoder.malformedCount(), 0);
    }
    ZDriveTable::instance().clear();
}

#endif // SEARCH_HAVE_NTFS_FIXTURE
