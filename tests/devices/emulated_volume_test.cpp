// The emulated NTFS volume through the Win32 calls the volume code makes. FILE
// records are read back with the ntfs layer's checked walk, independent of the
// volume's encoder.
#include "platform/windows.h"
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "platform/win32_file.h"
#include "win32/win32_ioctl.h"
#include "ntfs/ZNtfsFixup.h"
#include "ntfs/ZNtfsRecord.h"
#include "ntfs/ZNtfsRunList.h"
#include "support/ZUsnRecordParse.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

using Vol = Platform::ZEmulatedNtfsVolume;

namespace {

constexpr DWORD kRoot = 5;
constexpr DWORD kStandardInformation = Ntfs::AttrStandardInformation, kAttributeList = Ntfs::AttrAttributeList,
                kFileName = Ntfs::AttrFileName, kData = Ntfs::AttrData, kIndexRoot = Ntfs::AttrIndexRoot;
constexpr DWORD kStride = Platform::kNtfsFixupStride;
const ULONGLONG kRootRef = Ntfs::makeFileReference(kRoot, kRoot);

template <typename T>
T le(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
std::u16string utf16(const BYTE* p, size_t chars)
{
    std::u16string s(chars, u'\0');
    std::memcpy(s.data(), p, chars * 2);
    return s;
}
std::u16string numbered(std::u16string prefix, int i)
{
    for (char digit : std::to_string(i))
        prefix += char16_t(digit);
    return prefix;
}
// A call that failed, leaving `error` as the last error.
::testing::AssertionResult refused(BOOL ok, DWORD error)
{
    const DWORD last = GetLastError();
    if (!ok && last == error)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (ok ? "answered" : "refused with " + std::to_string(last));
}

// ---- FILE records as the ntfs layer reads them -------------------------------
// Through the checked walk the raw reader and the volume code use (proven on
// real NTFS images by their tests), not through the emulated volume's encoder.
struct Attr {
    DWORD type = 0;
    bool nonResident = false;
    WORD instance = 0;
    std::u16string name;
    std::vector<BYTE> value; // resident
    ULONGLONG dataSize = 0, lowestVcn = 0;
    std::vector<Platform::ZNtfsRun> runs;
};
struct Record {
    WORD sequence = 0, linkCount = 0, flags = 0;
    ULONGLONG baseReference = 0;
    DWORD recordNumber = 0;
    std::vector<Attr> attrs;
    std::vector<const Attr*> of(DWORD type) const
    {
        std::vector<const Attr*> v;
        for (const Attr& a : attrs)
            if (a.type == type)
                v.push_back(&a);
        return v;
    }
};

// The read form: fixups applied (every stride ends in its USA entry), and
// every attribute up to the end marker well-formed.
bool decodeRecord(const BYTE* rec, DWORD size, Record& out)
{
    constexpr LONGLONG kAnyVolume = LONGLONG(1) << 48; // clusters
    const Ntfs::FileRecordHeader& h = Platform::recordHeader(rec);
    if (h.signature != Ntfs::kFileRecordSignature)
        return false;
    EXPECT_EQ(std::make_pair(h.usaCount, h.bytesAllocated), std::make_pair(WORD(size / kStride + 1), size));
    for (WORD i = 1; i < h.usaCount; ++i)
        EXPECT_EQ(le<WORD>(rec + h.usaOffset + 2 * i), le<WORD>(rec + kStride * i - 2)) << "stride " << i;
    out = {h.sequenceNumber, h.linkCount, h.flags, h.baseFileRecord, h.mftRecordNumber, {}};
    DWORD end = h.firstAttributeOffset;
    Platform::ZNtfsAttributeWalk walk(rec, size);
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        const BYTE* at = reinterpret_cast<const BYTE*>(a);
        Attr x{a->type, a->nonResident != 0, a->instance, utf16(at + a->nameOffset, a->nameLength), {}, 0, 0, {}};
        if (x.nonResident) {
            x.dataSize = ULONGLONG(a->u.nonResident.dataSize);
            x.lowestVcn = ULONGLONG(a->u.nonResident.lowestVcn);
            const Platform::ZNtfsBytes pairs = Platform::mappingPairs(a);
            Platform::ZNtfsRunList runs;
            EXPECT_TRUE(runs.decode(pairs.data, pairs.size, a->u.nonResident.lowestVcn, kAnyVolume));
            x.runs = runs.runs();
        } else {
            const Platform::ZNtfsBytes v = Platform::residentValue(a);
            x.value.assign(v.data, v.data + v.size);
        }
        out.attrs.push_back(x);
        end = DWORD(at - rec) + a->length;
    }
    EXPECT_EQ(std::make_pair(le<DWORD>(rec + end), h.bytesInUse), std::make_pair(DWORD(Ntfs::AttrEnd), end + 8));
    return true;
}

struct FileName { ULONGLONG parent; BYTE nameSpace; std::u16string name; ULONGLONG dataSize; };
FileName fileName(const Attr& a)
{
    Ntfs::FileNameAttribute f;
    std::memcpy(&f, a.value.data(), Ntfs::kFileNameHeaderSize);
    const std::u16string name = utf16(a.value.data() + Ntfs::kFileNameHeaderSize, f.nameLength);
    return {f.parentDirectory, f.nameSpace, name, f.dataSize};
}

using TestSupport::JournalRead;
using TestSupport::UsnRec;
using TestSupport::usnRecords;

// ---- the volume through \\.\E: ---------------------------------------------
class EmulatedVolume : public ::testing::Test {
protected:
    void mount(const Vol::Options& o = Vol::Options())
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        vol = std::make_shared<Vol>(o);
        Platform::ZDriveTable::instance().setDrive(u'E', vol);
        h = CreateFileW(u"\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void SetUp() override { mount(); }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        Platform::ZDriveTable::instance().clear();
        Platform::setClock(nullptr);
    }
    // DeviceIoControl through the handle.
    const TestSupport::DeviceCall ioctl = [this](DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                                 DWORD* got) {
        return DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, got, nullptr);
    };
    // Reads record r; returns the answered record number.
    DWORD readRecord(DWORD r, Record& rec)
    {
        const DWORD size = vol->volumeData().BytesPerFileRecordSegment;
        std::vector<BYTE> bytes;
        const ULONGLONG answered = TestSupport::fileRecord(ioctl, r, size, bytes);
        EXPECT_TRUE(answered != ~0ull && decodeRecord(bytes.data(), size, rec));
        return DWORD(answered);
    }
    Record record(DWORD r)
    {
        Record rec;
        EXPECT_EQ(readRecord(r, rec), r);
        return rec;
    }
    // Raw bytes of the volume through the handle.
    bool readAt(LONGLONG offset, std::vector<BYTE>& bytes)
    {
        LARGE_INTEGER at;
        at.QuadPart = offset;
        DWORD got = 0;
        return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && ReadFile(h, bytes.data(), DWORD(bytes.size()), &got, nullptr)
               && got == bytes.size();
    }
    USN_JOURNAL_DATA_V1 query() { return TestSupport::queryJournal(ioctl); }
    READ_USN_JOURNAL_DATA_V1 readRequest(USN start, ULONGLONG wait = 0, LONGLONG timeout = -50000000ll)
    {
        return TestSupport::readRequest(query().UsnJournalID, start, wait, timeout);
    }
    template <typename Request>
    JournalRead readJournal(const Request& req) { return TestSupport::readJournal(ioctl, req); }
    std::vector<UsnRec> journalFrom(USN start)
    {
        const JournalRead r = readJournal(readRequest(start));
        EXPECT_EQ(r.error, 0u);
        return r.records;
    }
    // The whole enumeration below highUsn; it ends at the end of the MFT.
    std::vector<UsnRec> enumerate(USN highUsn, DWORD outSize = 64 * 1024)
    {
        const TestSupport::Enumeration e = TestSupport::enumerate(ioctl, highUsn, outSize);
        EXPECT_EQ(e.lastError, DWORD(ERROR_HANDLE_EOF));
        enumCalls = e.calls;
        return e.records;
    }

    std::shared_ptr<Vol> vol;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD enumCalls = 0; // calls of the last enumeration
};

// ---- geometry and FILE records ----------------------------------------------
TEST_F(EmulatedVolume, GeometrySystemRecordsAndNameSpaces)
{
    Vol::Options o;
    o.bytesPerCluster = 512;
    o.fileSystemName = u"ntfs";
    o.serialNumber = 0x1122334455667788ull;
    mount(o);
    WCHAR fs[8] = {}, label[16] = {};
    DWORD serial = 0, got = 0, longest = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 16, &serial, &longest, &flags, fs, 8));
    EXPECT_EQ(std::make_tuple(std::u16string(fs), std::u16string(label), serial, longest, flags),
              std::make_tuple(std::u16string(u"ntfs"), o.label, DWORD(0x55667788), DWORD(255), Ntfs::kNtfsVolumeFlags));
    // A name buffer without room for the name and its NUL (an unknown drive: drive_table_test).
    EXPECT_TRUE(refused(GetVolumeInformationW(u"E:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 4),
                        ERROR_INSUFFICIENT_BUFFER));
    NTFS_VOLUME_DATA_BUFFER d{};
    ASSERT_TRUE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_EQ(std::make_pair(got, ULONGLONG(d.VolumeSerialNumber.QuadPart)), std::make_pair(96u, o.serialNumber));
    EXPECT_TRUE(refused(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, 95, &got), ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(refused(ioctl(0x12345, nullptr, 0, nullptr, 0, &got), ERROR_INVALID_FUNCTION)); // an unknown code
    // The root is a folder named "." in itself; the MFT's data starts at MftStartLcn.
    const Record root = record(kRoot), mft = record(0);
    EXPECT_EQ(std::make_pair(root.flags, root.of(kIndexRoot).size()), std::make_pair(WORD(3), size_t(1)));
    ASSERT_EQ(root.of(kFileName).size(), 1u);
    const FileName dot = fileName(*root.of(kFileName)[0]);
    EXPECT_EQ(std::tie(dot.name, dot.parent), std::make_tuple(std::u16string(u"."), kRootRef));
    const Attr& mftData = *mft.of(kData).at(0);
    ASSERT_TRUE(mftData.nonResident);
    EXPECT_EQ(std::make_pair(mftData.runs.at(0).lcn, mftData.dataSize),
              std::make_pair(d.MftStartLcn.QuadPart, ULONGLONG(vol->recordCount()) * d.BytesPerFileRecordSegment));

    // Win32-and-DOS in one name; Win32 beside DOS; POSIX.
    Vol::CreateOptions withDos, posix;
    withDos.dosName = u"LONGFI~1.TXT";
    posix.nameForm = Vol::NameForm::Posix;
    const DWORD shortName = vol->createFile(kRoot, u"README.TXT");
    const DWORD longName = vol->createFile(kRoot, u"Long file name.txt", withDos);
    const std::pair<DWORD, std::vector<BYTE>> spaces[] = {
        {shortName, {3}}, {longName, {1, 2}}, {vol->createFile(kRoot, u"a:b", posix), {0}}};
    for (const auto& [file, want] : spaces) {
        const Record r = record(file);
        std::vector<BYTE> kinds;
        for (const Attr* a : r.of(kFileName))
            kinds.push_back(fileName(*a).nameSpace);
        EXPECT_EQ(std::make_pair(kinds, r.linkCount), std::make_pair(want, WORD(1))) << file;
    }
    // Names are unique per folder: case-insensitively for Win32 names.
    EXPECT_TRUE(refused(vol->createFile(kRoot, u"readme.txt"), ERROR_ALREADY_EXISTS));
    EXPECT_EQ(vol->lookup(kRoot, u"readme.txt"), shortName);
    EXPECT_EQ(vol->lookup(kRoot, u"LONGFI~1.TXT"), longName);
}

TEST_F(EmulatedVolume, DataFormsAndTheOnDiskRecord)
{
    Vol::CreateOptions small, big;
    small.size = 100;
    big.size = 10 * 4096 + 1;
    big.dataRuns = 3;
    const DWORD a = vol->createFile(kRoot, u"small.bin", small);
    const Record ra = record(a), rb = record(vol->createFile(kRoot, u"big.bin", big));
    ASSERT_FALSE(ra.of(kData).at(0)->nonResident);
    EXPECT_EQ(ra.of(kData)[0]->value.size(), 100u);
    const Attr& d = *rb.of(kData).at(0);
    ASSERT_TRUE(d.nonResident && d.runs.size() == 3u);
    EXPECT_EQ(std::make_pair(d.dataSize, fileName(*rb.of(kFileName).at(0)).dataSize), std::make_pair(big.size, big.size));
    ULONGLONG clusters = d.runs[0].length;
    for (size_t i = 1; i < d.runs.size(); ++i) { // runs never overlap
        clusters += d.runs[i].length;
        EXPECT_GE(d.runs[i].lcn, d.runs[i - 1].lcn + LONGLONG(d.runs[i - 1].length));
    }
    EXPECT_EQ(clusters, 11u);
    // Growing past the resident limit moves the data out; it does not come back.
    ASSERT_TRUE(vol->write(a, 0, 5000) && vol->truncate(a, 10));
    const Attr moved = *record(a).of(kData).at(0);
    EXPECT_TRUE(moved.nonResident && moved.dataSize == 10u);

    // On disk each sector ends in the update sequence number; the USA entries put back give the read form.
    std::vector<BYTE> applied, disk;
    ASSERT_TRUE(vol->encodeRecord(a, applied, false) && vol->encodeRecord(a, disk, true));
    const WORD usn = le<WORD>(disk.data() + 48);
    EXPECT_NE(usn, 0);
    std::vector<BYTE> restored = disk;
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(le<WORD>(disk.data() + 512 * i - 2), usn);
        std::memcpy(restored.data() + 512 * i - 2, disk.data() + 48 + 2 * i, 2);
    }
    EXPECT_EQ(restored, applied);
    // The MFT's clusters hold the on-disk form; the boot sector the same geometry.
    const NTFS_VOLUME_DATA_BUFFER v = vol->volumeData();
    std::vector<BYTE> raw(1024), sector(512);
    ASSERT_TRUE(readAt(v.MftStartLcn.QuadPart * v.BytesPerCluster + LONGLONG(a) * 1024, raw));
    EXPECT_EQ(raw, disk);
    ASSERT_TRUE(readAt(0, raw));
    EXPECT_EQ(std::memcmp(raw.data() + 3, "NTFS    ", 8), 0);
    EXPECT_EQ(le<LONGLONG>(raw.data() + 48), v.MftStartLcn.QuadPart);
    EXPECT_EQ(static_cast<signed char>(raw[64]), -10);
    EXPECT_TRUE(refused(readAt(7, sector), ERROR_INVALID_PARAMETER)); // raw reads are sector-aligned only
}

// ---- enumeration and record reads ----------------------------------------------
TEST_F(EmulatedVolume, EnumerationOrderRangeAndEndAndNearestLowerRecordReads)
{
    std::vector<DWORD> files;
    for (int i = 0; i < 50; ++i)
        files.push_back(vol->createFile(kRoot, numbered(u"f", i)));
    const USN middle = query().NextUsn;
    for (int i = 0; i < 10; ++i)
        vol->write(files[size_t(i)], 0, 10);
    std::vector<DWORD> seen;
    for (const UsnRec& u : enumerate(middle, 600)) { // a few records per call
        EXPECT_LE(u.usn, middle);
        seen.push_back(DWORD(u.ref));
    }
    EXPECT_GT(enumCalls, 5u);
    std::vector<DWORD> unchanged{kRoot}; // and the 40 files not changed since `middle`, in record order
    unchanged.insert(unchanged.end(), files.begin() + 10, files.end());
    EXPECT_EQ(seen, unchanged);
    // V0 input, a later start; too small an output or input.
    const MFT_ENUM_DATA_V0 v0{files[45], 0, query().NextUsn};
    std::vector<BYTE> out(600);
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), DWORD(out.size()), &got));
    EXPECT_EQ(usnRecords(out.data(), got).size(), 5u);
    EXPECT_TRUE(refused(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), 40, &got), ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(refused(ioctl(FSCTL_ENUM_USN_DATA, &v0, 16, out.data(), DWORD(out.size()), &got), ERROR_INVALID_PARAMETER));

    // A free record answers with the nearest lower record in use.
    const DWORD a = files[47], b = files[48], c = files[49];
    const WORD seq = WORD(vol->fileReference(b) >> 48);
    ASSERT_TRUE(vol->remove(b));
    Record r;
    EXPECT_EQ(std::make_pair(readRecord(b, r), r.recordNumber), std::make_pair(a, a));
    EXPECT_EQ(readRecord(c + 1000, r), c); // past the end: the last record (redirects: volume_mft_test)
    // The lowest free record is reused, with the next sequence number.
    const DWORD again = vol->createFile(kRoot, u"again");
    ASSERT_EQ(again, b);
    EXPECT_EQ(std::make_pair(WORD(vol->fileReference(again) >> 48), record(again).sequence),
              std::make_pair(WORD(seq + 1), WORD(seq + 1)));
}

// ---- the journal -------------------------------------------------------------
TEST_F(EmulatedVolume, QuietChangesAndChangesThatWriteTheRecordsWindowsWrites)
{
    // A paused journal writes nothing; given times land in both time stamps.
    const USN next = query().NextUsn;
    vol->setJournalPaused(true);
    Vol::CreateOptions o;
    o.creationTime = 130000000000000000ull;
    o.lastWriteTime = o.creationTime + 1;
    o.changeTime = o.creationTime + 2;
    o.lastAccessTime = o.creationTime + 3;
    const DWORD quiet = vol->createFile(kRoot, u"quiet.txt", o);
    EXPECT_EQ(query().NextUsn, next);
    vol->setJournalPaused(false);
    const Record q = record(quiet);
    const BYTE* si = q.of(kStandardInformation).at(0)->value.data();
    const BYTE* fn = q.of(kFileName).at(0)->value.data();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(le<ULONGLONG>(si + 8 * i), o.creationTime + i);
        EXPECT_EQ(le<ULONGLONG>(fn + 8 + 8 * i), o.creationTime + i);
    }
    EXPECT_EQ(le<ULONGLONG>(si + 64), 0u); // never journaled: USN 0
    vol->write(quiet, 0, 1);
    EXPECT_EQ(journalFrom(next).size(), 2u);
    // Times set quietly write no record either.
    const USN before = query().NextUsn;
    Vol::FileTimes t;
    t.lastWriteTime = 123456789;
    ASSERT_TRUE(vol->setTimesQuietly(quiet, t));
    Vol::FileInfo info;
    ASSERT_TRUE(vol->fileInfo(quiet, info));
    EXPECT_EQ(std::make_pair(query().NextUsn, info.times.lastWriteTime), std::make_pair(before, t.lastWriteTime));

    USN start = query().NextUsn;
    const DWORD dir = vol->createFolder(kRoot, u"docs");
    const DWORD f = vol->createFile(dir, u"a.txt");
    vol->write(f, 0, 10);
    vol->rename(f, dir, u"a.txt", kRoot, u"b.txt");
    vol->link(f, dir, u"c.txt");
    vol->setAttributes(f, FILE_ATTRIBUTE_HIDDEN);
    vol->remove(f, dir, u"c.txt");
    vol->remove(f);
    auto recs = journalFrom(start);
    const ULONGLONG fref = recs.at(2).ref, dref = vol->fileReference(dir), rref = kRootRef;
    constexpr DWORD create = USN_REASON_FILE_CREATE, close = USN_REASON_CLOSE, extend = USN_REASON_DATA_EXTEND,
                    renamed = USN_REASON_RENAME_NEW_NAME, link = USN_REASON_HARD_LINK_CHANGE,
                    basic = USN_REASON_BASIC_INFO_CHANGE;
    const struct {
        DWORD reason;
        const char16_t* name;
        ULONGLONG parent;
    } want[] = {
        {create, u"docs", rref}, {create | close, u"docs", rref}, {create, u"a.txt", dref},
        {create | close, u"a.txt", dref}, {extend, u"a.txt", dref}, {extend | close, u"a.txt", dref},
        {USN_REASON_RENAME_OLD_NAME, u"a.txt", dref}, {renamed, u"b.txt", rref}, {renamed | close, u"b.txt", rref},
        {link, u"c.txt", dref}, {link | close, u"b.txt", rref}, {basic, u"b.txt", rref},
        {basic | close, u"b.txt", rref}, {link | close, u"c.txt", dref}, {USN_REASON_FILE_DELETE | close, u"b.txt", rref},
    };
    ASSERT_EQ(recs.size(), std::size(want));
    USN at = start;
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(std::tie(recs[i].reason, recs[i].name, recs[i].parent, recs[i].usn),
                  std::make_tuple(want[i].reason, std::u16string(want[i].name), want[i].parent, at)) << i;
        EXPECT_TRUE(i < 2 || recs[i].ref == fref) << i;
        at += ((60 + recs[i].name.size() * 2 + 7) / 8) * 8;
    }
    EXPECT_EQ(std::make_pair(recs[0].attributes, recs[14].attributes),
              std::make_pair(DWORD(FILE_ATTRIBUTE_DIRECTORY), DWORD(FILE_ATTRIBUTE_HIDDEN)));
    EXPECT_EQ(query().NextUsn, at);

    // An open file gathers its reasons until closed, a named stream's too.
    vol->setAutoClose(false);
    start = query().NextUsn;
    const DWORD g = vol->createFile(kRoot, u"log.txt");
    vol->write(g, 0, 100);
    vol->write(g, 100, 100); // same reason: no new record
    vol->write(g, 0, 10);
    ASSERT_TRUE(vol->setStream(g, u"Zone.Identifier", 26) && vol->setStream(g, u"Zone.Identifier", 10));
    vol->close(g);
    vol->close(g); // nothing open: nothing written
    std::vector<DWORD> reasons;
    for (const UsnRec& u : journalFrom(start))
        reasons.push_back(u.reason);
    const DWORD data = create | extend | USN_REASON_DATA_OVERWRITE,
                named = data | USN_REASON_STREAM_CHANGE | USN_REASON_NAMED_DATA_EXTEND,
                cut = named | USN_REASON_NAMED_DATA_TRUNCATION;
    EXPECT_EQ(reasons, (std::vector<DWORD>{create, create | extend, data, named, cut, cut | close}));
    const Record logRecord = record(g);   // the attributes point into it
    const auto streams = logRecord.of(kData);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_TRUE(streams[0]->name.empty());
    EXPECT_EQ(std::make_pair(streams[1]->name, streams[1]->value.size()),
              std::make_pair(std::u16string(u"Zone.Identifier"), size_t(10)));
    // Filters: only close records; only a reason mask.
    auto req = readRequest(start);
    req.ReturnOnlyOnClose = 1;
    const JournalRead closes = readJournal(req);
    EXPECT_EQ(std::make_pair(closes.records.size(), closes.next), std::make_pair(size_t(1), query().NextUsn));
    req.ReturnOnlyOnClose = 0;
    req.ReasonMask = USN_REASON_DATA_OVERWRITE;
    EXPECT_EQ(readJournal(req).records.size(), 4u);
    // A V0 request reads as well; versions other than 2 only are refused.
    EXPECT_EQ(readJournal(READ_USN_JOURNAL_DATA_V0{start, 0xFFFFFFFF, 0, 0, 0, query().UsnJournalID}).records.size(),
              reasons.size());
    req = readRequest(start);
    req.MinMajorVersion = req.MaxMajorVersion = 3;
    EXPECT_EQ(readJournal(req).error, DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, JournalLimitStatesAndLostEntries)
{
    Vol::Options o;
    o.journalMaximumSize = 4096;
    o.journalAllocationDelta = 1024;
    mount(o);
    const USN first = query().FirstUsn;
    for (int i = 0; i < 200; ++i)
        vol->createFile(kRoot, numbered(u"file", i));
    auto j = query();
    EXPECT_TRUE(j.FirstUsn > first && ULONGLONG(j.NextUsn - j.FirstUsn) <= 4096u + 1024u) << j.FirstUsn << " " << j.NextUsn;
    EXPECT_EQ(readJournal(readRequest(j.FirstUsn - 8)).error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    const auto recs = journalFrom(j.FirstUsn);
    ASSERT_FALSE(recs.empty());
    EXPECT_TRUE(recs.front().usn == j.FirstUsn && (recs.back().reason & USN_REASON_CLOSE));
    EXPECT_EQ(journalFrom(0).size(), recs.size()); // 0 starts at the first record there is
    // A lost event queue: every older position reads as deleted.
    vol->discardJournalEntries();
    EXPECT_EQ(readJournal(readRequest(j.NextUsn)).error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));

    o.journalActive = false;
    mount(o);
    DWORD got = 0;
    const auto expectRefused = [&](DWORD code, const void* in, DWORD inSize, DWORD error) {
        EXPECT_TRUE(refused(ioctl(code, in, inSize, &j, sizeof j, &got), error)) << code;
    };
    expectRefused(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, ERROR_JOURNAL_NOT_ACTIVE);
    const DWORD quiet = vol->createFile(kRoot, u"before.txt"); // no journal: no record, USN 0
    CREATE_USN_JOURNAL_DATA c{8u << 20, 1u << 20};
    const auto create = [&] { return ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got); };
    ASSERT_TRUE(create());
    j = query();
    Vol::FileInfo info;
    ASSERT_TRUE(vol->fileInfo(quiet, info));
    EXPECT_EQ(std::make_pair(j.FirstUsn, info.usn), std::make_pair(j.NextUsn, USN(0)));
    // A deletion in progress: 1178 until a waiter sees it through.
    vol->beginJournalDeletion();
    expectRefused(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, ERROR_JOURNAL_DELETE_IN_PROGRESS);
    expectRefused(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, ERROR_JOURNAL_DELETE_IN_PROGRESS);
    DELETE_USN_JOURNAL_DATA d{j.UsnJournalID, USN_DELETE_FLAG_NOTIFY, {}};
    EXPECT_TRUE(ioctl(FSCTL_DELETE_USN_JOURNAL, &d, sizeof d, nullptr, 0, &got));
    expectRefused(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, ERROR_JOURNAL_NOT_ACTIVE);
    ASSERT_TRUE(create());
    const auto fresh = query();
    EXPECT_TRUE(fresh.UsnJournalID != j.UsnJournalID && fresh.FirstUsn >= j.NextUsn); // USNs never go back
    // A timed deletion finishes on the clock seam.
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    vol->beginJournalDeletion(3000);
    d.UsnJournalID = fresh.UsnJournalID;
    auto waiter = std::async(std::launch::async, [&] {
        DWORD n = 0;
        return ioctl(FSCTL_DELETE_USN_JOURNAL, &d, sizeof d, nullptr, 0, &n);
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    clock.advance(3000);
    EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(vol->journalState().active);
    // A wrong journal id is a parameter error.
    ASSERT_TRUE(create());
    auto req = readRequest(0);
    req.UsnJournalID ^= 1;
    EXPECT_EQ(readJournal(req).error, DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, JournalReadBlocksOnTheClockSeam)
{
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    const USN next = query().NextUsn;
    // The request is made here: a query on the reading thread could meet the
    // not-ready state set for the read after it.
    const auto read = [&](ULONGLONG wait) {
        return std::async(std::launch::async, [this, req = readRequest(next, wait)] {
            const JournalRead r = readJournal(req);
            return std::make_pair(r.error, r.records.size());
        });
    };
    const auto waiting = [](auto& r) { return r.wait_for(std::chrono::milliseconds(30)) == std::future_status::timeout; };
    // Enough bytes arrive: it returns with them.
    auto r1 = read(200);
    EXPECT_TRUE(waiting(r1));
    vol->createFile(kRoot, u"one.txt"); // two records, 144 bytes
    EXPECT_TRUE(waiting(r1));
    vol->createFile(kRoot, u"two.txt");
    EXPECT_EQ(r1.get(), std::make_pair(DWORD(0), size_t(4)));
    // The time-out passes: it returns with what there is.
    auto r2 = read(1u << 20);
    EXPECT_TRUE(waiting(r2));
    clock.advance(5000);
    EXPECT_EQ(r2.get(), std::make_pair(DWORD(0), size_t(4)));
    // Cancelled and not-ready reads return at once. A cancel finds nothing
    // until the read waits, so it is repeated until the read returns.
    auto r3 = read(1u << 20);
    while (waiting(r3))
        CancelIoEx(h, nullptr);
    EXPECT_EQ(r3.get().first, DWORD(ERROR_OPERATION_ABORTED));
    auto r4 = read(1u << 20);
    vol->setNotReady(true);
    EXPECT_EQ(r4.get().first, DWORD(ERROR_NOT_READY));
    vol->setNotReady(false);
    EXPECT_EQ(read(0).get().first, DWORD(0)); // BytesToWaitFor 0 never waits
}

// ---- random changes against a model --------------------------------------------
class RandomChanges : public EmulatedVolume {
protected:
    using Links = std::set<std::pair<DWORD, std::u16string>>;
    struct Model {
        bool folder = false; // no unnamed $DATA
        ULONGLONG size = 0;
        Links links;
    };

    // What a reader finds, following the attribute list; every listed attribute
    // must be where the list says, every attribute of an extension record listed.
    Model readBack(DWORD r)
    {
        std::vector<Record> parts{record(r)};
        if (!parts[0].of(kAttributeList).empty()) {
            const Attr& list = *parts[0].of(kAttributeList)[0];
            std::vector<BYTE> bytes = list.value;
            if (list.nonResident) {
                bytes.clear();
                const DWORD bpc = vol->volumeData().BytesPerCluster;
                for (const Platform::ZNtfsRun& run : list.runs) {
                    std::vector<BYTE> c(run.length * bpc);
                    EXPECT_TRUE(readAt(run.lcn * bpc, c));
                    bytes.insert(bytes.end(), c.begin(), c.end());
                }
                bytes.resize(list.dataSize);
            }
            std::vector<Ntfs::AttributeListEntry> entries;
            size_t pos = 0;
            while (const Ntfs::AttributeListEntry* e = Ntfs::attributeListEntryAt(bytes.data(), bytes.size(), pos)) {
                entries.push_back(*e);
                pos += e->length;
            }
            std::map<DWORD, Record> holders{{r, parts[0]}};
            for (const Ntfs::AttributeListEntry& e : entries) {
                const DWORD at = DWORD(e.segmentReference);
                if (!holders.count(at)) {
                    holders[at] = record(at);
                    EXPECT_EQ(DWORD(holders[at].baseReference), r);
                    parts.push_back(holders[at]);
                }
                const auto& attrs = holders[at].attrs;
                EXPECT_TRUE(std::any_of(attrs.begin(), attrs.end(), [&](const Attr& a) {
                    return a.type == e.type && a.instance == e.instance && (!a.nonResident || a.lowestVcn == e.lowestVcn);
                })) << "attribute " << e.type << " in record " << at;
            }
            for (size_t i = 1; i < parts.size(); ++i)
                for (const Attr& a : parts[i].attrs)
                    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const Ntfs::AttributeListEntry& e) {
                        return e.type == a.type && e.instance == a.instance
                               && DWORD(e.segmentReference) == parts[i].recordNumber;
                    })) << "attribute " << a.type << " of record " << parts[i].recordNumber;
        }
        Model found{true, 0, {}};
        for (const Record& part : parts) {
            for (const Attr* a : part.of(kFileName))
                if (fileName(*a).nameSpace != 2) // the DOS name is no link of its own
                    found.links.insert({DWORD(fileName(*a).parent), fileName(*a).name});
            for (const Attr* a : part.of(kData))
                if (a->name.empty() && a->lowestVcn == 0)
                    found = {false, a->nonResident ? a->dataSize : a->value.size(), found.links};
        }
        return found;
    }
};

TEST_F(RandomChanges, RecordsAndEnumerationFollowTheModel)
{
    Vol::Options o;
    o.bytesPerCluster = 512;
    mount(o);
    std::mt19937 rng(7);
    std::map<DWORD, Model> files{{kRoot, {true, 0, {{kRoot, u"."}}}}};
    std::vector<DWORD> folders{kRoot};
    int serial = 0;
    auto pick = [&](const auto& v) { return v[rng() % v.size()]; };
    for (int step = 0; step < 3000; ++step) {
        const int op = int(rng() % 10);
        const DWORD f = std::next(files.begin(), long(rng() % files.size()))->first;
        Model& m = files[f];
        if (op <= 2 || files.size() < 5) {
            const DWORD parent = pick(folders);
            const std::u16string name = numbered(rng() % 2 ? u"Name with spaces " : u"N", ++serial);
            Vol::CreateOptions c;
            c.size = rng() % 3 ? rng() % 2000 : 0;
            c.attributeList = Vol::AttributeListForm(rng() % 6 < 4 ? 0 : 1 + rng() % 2);
            c.extensionRecords = 1 + rng() % 3;
            c.attributeListRuns = 1 + rng() % 2;
            c.dataRuns = 1 + rng() % 3;
            c.dataExtents = rng() % 5 == 0 ? 2 + rng() % 2 : 1;
            const bool folder = rng() % 4 == 0;
            const DWORD r = folder ? vol->createFolder(parent, name, c) : vol->createFile(parent, name, c);
            ASSERT_NE(r, 0u);
            files[r] = Model{folder, folder ? 0 : c.size, {{parent, name}}};
            if (folder)
                folders.push_back(r);
        } else if (f == kRoot) {
            continue;
        } else if (op == 3 && !m.folder) {
            const ULONGLONG off = rng() % 3000, len = rng() % 3000;
            ASSERT_TRUE(vol->write(f, off, len));
            if (len)
                m.size = std::max(m.size, off + len);
        } else if (op == 4 && !m.folder) {
            m.size = rng() % 4000;
            ASSERT_TRUE(vol->truncate(f, m.size));
        } else if (op == 5) {
            const auto link = *std::next(m.links.begin(), long(rng() % m.links.size()));
            const DWORD parent = m.folder ? link.first : pick(folders);
            const std::u16string name = numbered(u"R", ++serial);
            ASSERT_TRUE(vol->rename(f, link.first, link.second, parent, name));
            m.links.erase(link);
            m.links.insert({parent, name});
        } else if (op == 6 && !m.folder) {
            const DWORD parent = pick(folders);
            const std::u16string name = numbered(std::u16string(rng() % 150 + 1, u'L'), ++serial);
            ASSERT_TRUE(vol->link(f, parent, name));
            m.links.insert({parent, name});
        } else if (op == 7) {
            const auto link = *m.links.begin();
            const bool emptyFolder = m.folder && std::none_of(files.begin(), files.end(), [&](const auto& kv) {
                return std::any_of(kv.second.links.begin(), kv.second.links.end(),
                                   [&](const auto& l) { return l.first == f; });
            });
            if (m.folder && !emptyFolder) {
                EXPECT_FALSE(vol->remove(f, link.first, link.second));
                continue;
            }
            ASSERT_TRUE(vol->remove(f, link.first, link.second));
            m.links.erase(link);
            if (m.links.empty()) {
                files.erase(f);
                folders.erase(std::remove(folders.begin(), folders.end(), f), folders.end());
            }
        } else if (op == 8) {
            ASSERT_TRUE(vol->setStream(f, u"ads", rng() % 1000));
        } else {
            ASSERT_TRUE(vol->setAttributeListForm(f, Vol::AttributeListForm(rng() % 3), 1 + rng() % 4, 1 + rng() % 3));
        }
    }
    int withList = 0, nonResidentList = 0, multiLink = 0;
    std::vector<DWORD> listed, expected;
    for (const auto& [r, m] : files) {
        SCOPED_TRACE(r);
        const Model found = readBack(r);
        EXPECT_EQ(std::tie(found.folder, found.size, found.links), std::tie(m.folder, m.size, m.links));
        Vol::FileInfo info;
        vol->fileInfo(r, info);
        withList += !info.extensionRecords.empty();
        nonResidentList += info.nonResidentAttributeList;
        multiLink += info.links.size() > 1;
        expected.push_back(r);
    }
    // The walk met every form.
    EXPECT_TRUE(files.size() > 300u && withList > 50 && nonResidentList > 20 && multiLink > 20)
        << files.size() << " " << withList << " " << nonResidentList << " " << multiLink;
    // Enumeration lists every base record once, in record order.
    for (const UsnRec& u : enumerate(query().NextUsn))
        listed.push_back(DWORD(u.ref));
    EXPECT_EQ(listed, expected);
}

// ---- faults, refusals and concurrency ---------------------------------------------
TEST_F(EmulatedVolume, InjectedFaultsChangesNtfsRefusesAndATreeRemoved)
{
    NTFS_VOLUME_DATA_BUFFER d{};
    DWORD got = 0;
    auto volumeData = [&] { return ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got); };
    vol->failCall(FSCTL_GET_NTFS_VOLUME_DATA, ERROR_NOT_READY, 2, 1); // after one call, twice
    for (const bool answers : {true, false, false, true}) {
        EXPECT_EQ(volumeData(), BOOL(answers));
        EXPECT_TRUE(answers || GetLastError() == DWORD(ERROR_NOT_READY));
    }
    EXPECT_EQ(vol->callCount(FSCTL_GET_NTFS_VOLUME_DATA), 4u);
    vol->failCall(Vol::CallAnyIoControl, ERROR_INVALID_PARAMETER, Vol::kUntilCleared);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(refused(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &d, sizeof d, &got), ERROR_INVALID_PARAMETER));
    vol->clearFaults();
    EXPECT_TRUE(volumeData());
    vol->failCall(Vol::CallRead, ERROR_CRC);
    std::vector<BYTE> sector(512);
    EXPECT_TRUE(refused(readAt(0, sector), ERROR_CRC));

    const DWORD dir = vol->createFolder(kRoot, u"d");
    const DWORD sub = vol->createFolder(dir, u"s");
    const DWORD f = vol->createFile(sub, u"f");
    EXPECT_TRUE(refused(vol->remove(dir), ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(vol->move(dir, sub));                                  // into its own subtree
    EXPECT_TRUE(refused(vol->createFile(f, u"x"), ERROR_PATH_NOT_FOUND)); // a file is no folder
    EXPECT_FALSE(vol->link(dir, kRoot, u"dirlink"));
    EXPECT_FALSE(vol->remove(0)); // metadata files stay
    for (const std::u16string& bad : {std::u16string(), std::u16string(u".."), std::u16string(u"a/b"),
                                      std::u16string(256, u'x')}) {
        EXPECT_FALSE(vol->createFile(kRoot, bad));
        EXPECT_FALSE(vol->createFolder(kRoot, bad));
    }
    EXPECT_TRUE(refused(vol->rename(f, sub, u"nope", kRoot, u"y"), ERROR_FILE_NOT_FOUND));

    // A tree is removed deepest first, in record order; the links out of it stay.
    vol->createFile(dir, u"a");
    const DWORD g = vol->createFile(sub, u"g");
    ASSERT_TRUE(vol->link(g, kRoot, u"g outside"));
    const USN start = query().NextUsn;
    ASSERT_TRUE(vol->removeTree(dir));
    std::vector<std::pair<std::u16string, DWORD>> removed;
    for (const UsnRec& u : journalFrom(start))
        removed.push_back({u.name, u.reason});
    const DWORD del = USN_REASON_FILE_DELETE | USN_REASON_CLOSE;
    const std::vector<std::pair<std::u16string, DWORD>> want = {
        {u"f", del}, {u"g", USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE}, {u"s", del}, {u"a", del}, {u"d", del}};
    EXPECT_EQ(removed, want);
    EXPECT_FALSE(vol->inUse(dir) || vol->inUse(f));
    std::vector<std::tuple<DWORD, DWORD, std::u16string>> names;
    vol->forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        names.emplace_back(record, parent, name);
    });
    EXPECT_EQ(names, (std::vector<std::tuple<DWORD, DWORD, std::u16string>>{{g, kRoot, u"g outside"}}));
}

TEST_F(EmulatedVolume, ChangesWhileTheVolumeReads)
{
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            const DWORD f = vol->createFile(kRoot, numbered(u"t", i));
            vol->write(f, 0, DWORD(i) * 97);
            if (i % 3 == 0)
                vol->remove(f);
        }
        done = true;
    });
    USN at = query().FirstUsn;
    size_t seen = 0;
    while (!done || at < query().NextUsn) {
        const JournalRead got = readJournal(readRequest(at, 1, -10000ll * 5));
        ASSERT_EQ(got.error, 0u);
        seen += got.records.size();
        at = got.next;
        Record r;
        readRecord(DWORD(16 + seen % 200), r);
    }
    writer.join();
    EXPECT_EQ(seen, 2u * 300 + 2u * 299 + 100u); // create 2, write 2 (not the empty first), delete 1 per third
}

} // namespace
