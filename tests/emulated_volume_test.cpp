// The emulated NTFS volume, checked through the Win32 calls the volume code
// makes. FILE records are read back with a small decoder of this file, written
// from the published layouts and independent of the volume's own encoder.
#include "platform/windows.h"
#include "platform/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/win32_file.h"
#include "platform/win32_ioctl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

using Platform::ZEmulatedNtfsVolume;
using Vol = ZEmulatedNtfsVolume;

namespace {

constexpr DWORD kRoot = 5;
constexpr DWORD kOutSize = 64 * 1024;
constexpr DWORD kStandardInformation = 0x10, kAttributeList = 0x20, kFileName = 0x30, kData = 0x80,
                kIndexRoot = 0x90;

template <typename T>
T le(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::u16string numbered(const std::u16string& prefix, int i)
{
    const std::string digits = std::to_string(i);
    return prefix + std::u16string(digits.begin(), digits.end());
}

// ---- an independent minimal decoder of FILE records ------------------------
struct DataRun {
    LONGLONG lcn;
    ULONGLONG length;
};
struct Attr {
    DWORD type = 0;
    bool nonResident = false;
    std::u16string name;
    std::vector<BYTE> value; // resident
    ULONGLONG dataSize = 0, lowestVcn = 0, highestVcn = 0;
    std::vector<DataRun> runs;
    WORD instance = 0;
};
struct Record {
    WORD sequence = 0, linkCount = 0, flags = 0;
    ULONGLONG baseReference = 0;
    DWORD recordNumber = 0, bytesInUse = 0;
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

std::vector<DataRun> decodeRuns(const BYTE* p, const BYTE* end)
{
    std::vector<DataRun> runs;
    LONGLONG lcn = 0;
    while (p < end && *p) {
        const int ls = *p & 0xF, os = *p >> 4;
        EXPECT_LE(p + 1 + ls + os, end);
        ULONGLONG len = 0;
        LONGLONG delta = 0;
        for (int i = 0; i < ls; ++i)
            len |= ULONGLONG(p[1 + i]) << (8 * i);
        for (int i = 0; i < os; ++i)
            delta |= LONGLONG(p[1 + ls + i]) << (8 * i);
        if (os && (p[ls + os] & 0x80))
            delta -= LONGLONG(1) << (8 * os);
        lcn += delta;
        runs.push_back({lcn, len});
        p += 1 + ls + os;
    }
    return runs;
}

// The fixups-applied form: every sector end equals its USA entry.
bool decodeRecord(const BYTE* rec, DWORD size, Record& out)
{
    if (le<DWORD>(rec) != 0x454C4946)
        return false;
    const WORD usaOffset = le<WORD>(rec + 4), usaCount = le<WORD>(rec + 6);
    EXPECT_EQ(usaCount, size / 512 + 1);
    for (WORD i = 1; i < usaCount; ++i)
        EXPECT_EQ(le<WORD>(rec + usaOffset + 2 * i), le<WORD>(rec + 512 * i - 2)) << "sector " << i;
    out.sequence = le<WORD>(rec + 16);
    out.linkCount = le<WORD>(rec + 18);
    out.flags = le<WORD>(rec + 22);
    out.bytesInUse = le<DWORD>(rec + 24);
    EXPECT_EQ(le<DWORD>(rec + 28), size);
    out.baseReference = le<ULONGLONG>(rec + 32);
    out.recordNumber = le<DWORD>(rec + 44);
    DWORD at = le<WORD>(rec + 20);
    for (; at + 8 <= size && le<DWORD>(rec + at) != 0xFFFFFFFF;) {
        const BYTE* a = rec + at;
        const DWORD length = le<DWORD>(a + 4);
        const WORD nameOffset = le<WORD>(a + 10);
        if (length < 24 || length % 8 || at + length > size || nameOffset + a[9] * 2u > length)
            return false;
        Attr x;
        x.type = le<DWORD>(a);
        x.nonResident = a[8];
        x.instance = le<WORD>(a + 14);
        x.name.assign(reinterpret_cast<const char16_t*>(a + nameOffset), a[9]);
        if (!x.nonResident) {
            const DWORD vlen = le<DWORD>(a + 16);
            const WORD voff = le<WORD>(a + 20);
            if (voff + vlen > length)
                return false;
            x.value.assign(a + voff, a + voff + vlen);
        } else {
            x.dataSize = le<ULONGLONG>(a + 48);
            x.lowestVcn = le<ULONGLONG>(a + 16);
            x.highestVcn = le<ULONGLONG>(a + 24);
            x.runs = decodeRuns(a + le<WORD>(a + 32), a + length);
        }
        out.attrs.push_back(x);
        at += length;
    }
    EXPECT_EQ(out.bytesInUse, at + 8);
    return true;
}

struct FileName {
    ULONGLONG parent;
    BYTE nameSpace;
    std::u16string name;
    ULONGLONG dataSize;
};
FileName fileName(const Attr& a)
{
    const BYTE* v = a.value.data();
    return {le<ULONGLONG>(v), v[65], std::u16string(reinterpret_cast<const char16_t*>(v + 66), v[64]),
            le<ULONGLONG>(v + 48)};
}

struct ListEntry {
    DWORD type;
    ULONGLONG segment;
    WORD instance;
    ULONGLONG lowestVcn;
};
std::vector<ListEntry> listEntries(const std::vector<BYTE>& v)
{
    std::vector<ListEntry> out;
    for (size_t at = 0; at + 26 <= v.size();) {
        const BYTE* e = v.data() + at;
        if (le<WORD>(e + 4) == 0)
            break;
        out.push_back({le<DWORD>(e), le<ULONGLONG>(e + 16), le<WORD>(e + 24), le<ULONGLONG>(e + 8)});
        at += le<WORD>(e + 4);
    }
    return out;
}

struct UsnRec {
    ULONGLONG ref, parent;
    USN usn;
    DWORD reason, attributes;
    std::u16string name;
};
std::vector<UsnRec> usnRecords(const BYTE* out, DWORD returned)
{
    std::vector<UsnRec> v;
    for (DWORD at = 8; at < returned;) {
        const BYTE* r = out + at;
        const DWORD len = le<DWORD>(r);
        EXPECT_EQ(len % 8, 0u);
        EXPECT_EQ(le<WORD>(r + 4), 2);
        v.push_back({le<ULONGLONG>(r + 8), le<ULONGLONG>(r + 16), le<LONGLONG>(r + 24), le<DWORD>(r + 40),
                     le<DWORD>(r + 52),
                     std::u16string(reinterpret_cast<const char16_t*>(r + le<WORD>(r + 58)), le<WORD>(r + 56) / 2)});
        at += len;
    }
    return v;
}

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
    BOOL ioctl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got)
    {
        return DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, got, nullptr);
    }
    // Reads record r; returns the answered record number.
    DWORD readRecord(DWORD r, Record& rec)
    {
        const DWORD size = vol->volumeData().BytesPerFileRecordSegment;
        std::vector<BYTE> out(size + 15);
        NTFS_FILE_RECORD_INPUT_BUFFER in{};
        in.FileReferenceNumber.QuadPart = r;
        DWORD got = 0;
        EXPECT_TRUE(ioctl(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, out.data(), DWORD(out.size()), &got));
        EXPECT_EQ(got, size + 12);
        EXPECT_EQ(le<DWORD>(out.data() + 8), size);
        rec = Record();
        EXPECT_TRUE(decodeRecord(out.data() + 12, size, rec));
        return DWORD(le<ULONGLONG>(out.data()));
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
    USN_JOURNAL_DATA_V1 query()
    {
        USN_JOURNAL_DATA_V1 j{};
        DWORD got = 0;
        EXPECT_TRUE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
        return j;
    }
    READ_USN_JOURNAL_DATA_V1 readRequest(USN start, ULONGLONG wait = 0)
    {
        READ_USN_JOURNAL_DATA_V1 r{};
        r.StartUsn = start;
        r.ReasonMask = 0xFFFFFFFF;
        r.Timeout = DWORDLONG(-50000000ll);
        r.BytesToWaitFor = wait;
        r.UsnJournalID = query().UsnJournalID;
        r.MinMajorVersion = r.MaxMajorVersion = 2;
        return r;
    }
    // One journal read; *error gets the failure (0 on success).
    template <typename Request>
    std::vector<UsnRec> readJournal(const Request& req, DWORD* error = nullptr, USN* next = nullptr)
    {
        std::vector<BYTE> out(kOutSize);
        DWORD got = 0;
        const BOOL ok = ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got);
        EXPECT_TRUE(ok || error);
        if (error)
            *error = ok ? 0 : GetLastError();
        if (next && ok)
            *next = le<USN>(out.data());
        return ok ? usnRecords(out.data(), got) : std::vector<UsnRec>();
    }
    std::vector<UsnRec> journalFrom(USN start) { return readJournal(readRequest(start)); }
    // The whole enumeration below highUsn.
    std::vector<UsnRec> enumerate(USN highUsn, DWORD outSize = kOutSize, DWORD* calls = nullptr)
    {
        MFT_ENUM_DATA_V1 med{};
        med.HighUsn = highUsn;
        med.MinMajorVersion = med.MaxMajorVersion = 2;
        std::vector<BYTE> out(outSize);
        std::vector<UsnRec> all;
        DWORD got = 0;
        while (ioctl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), outSize, &got)) {
            if (calls)
                ++*calls;
            for (const UsnRec& u : usnRecords(out.data(), got))
                all.push_back(u);
            med.StartFileReferenceNumber = le<ULONGLONG>(out.data());
        }
        EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));
        return all;
    }

    std::shared_ptr<Vol> vol;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// ---- geometry and FILE records ----------------------------------------------
TEST_F(EmulatedVolume, VolumeInformationGeometryAndSystemRecords)
{
    Vol::Options o;
    o.bytesPerCluster = 512;
    o.fileSystemName = u"ntfs";
    o.serialNumber = 0x1122334455667788ull;
    mount(o);
    WCHAR fs[8] = {};
    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"E:\\", nullptr, 0, &serial, nullptr, nullptr, fs, 8));
    EXPECT_EQ(std::u16string(fs), u"ntfs");
    EXPECT_EQ(serial, 0x55667788u);
    NTFS_VOLUME_DATA_BUFFER d{};
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_EQ(got, 96u);
    EXPECT_EQ(d.BytesPerCluster, 512u);
    EXPECT_EQ(d.BytesPerFileRecordSegment, 1024u);
    EXPECT_EQ(ULONGLONG(d.VolumeSerialNumber.QuadPart), 0x1122334455667788ull);
    EXPECT_FALSE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, 95, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(ioctl(0x12345, nullptr, 0, nullptr, 0, &got));

    const Record root = record(kRoot);
    EXPECT_EQ(root.flags, 3); // in use, directory
    ASSERT_EQ(root.of(kFileName).size(), 1u);
    EXPECT_EQ(fileName(*root.of(kFileName)[0]).name, u".");
    EXPECT_EQ(fileName(*root.of(kFileName)[0]).parent, Ntfs::makeFileReference(5, 5));
    EXPECT_EQ(root.of(kIndexRoot).size(), 1u);
    const Record mft = record(0);
    ASSERT_EQ(mft.of(kData).size(), 1u);
    const Attr& data = *mft.of(kData)[0];
    ASSERT_TRUE(data.nonResident);
    EXPECT_EQ(data.runs.at(0).lcn, vol->volumeData().MftStartLcn.QuadPart);
    EXPECT_EQ(data.dataSize, ULONGLONG(vol->recordCount()) * 1024);
    for (DWORD r = 0; r < 16; ++r)
        EXPECT_TRUE(vol->inUse(r)) << r;
}

TEST_F(EmulatedVolume, NameSpacesOfEveryKindAndUniqueNames)
{
    Vol::CreateOptions withDos, posix;
    withDos.dosName = u"LONGFI~1.TXT";
    posix.nameForm = Vol::NameForm::Posix;
    const DWORD shortName = vol->createFile(kRoot, u"README.TXT");
    const DWORD longName = vol->createFile(kRoot, u"Long file name.txt", withDos);
    const DWORD posixName = vol->createFile(kRoot, u"a:b", posix);
    // Win32-and-DOS in one name; Win32 beside DOS; POSIX.
    const std::pair<DWORD, std::vector<BYTE>> spaces[] = {{shortName, {3}}, {longName, {1, 2}}, {posixName, {0}}};
    for (const auto& [file, want] : spaces) {
        const Record r = record(file);
        std::vector<BYTE> got;
        for (const Attr* a : r.of(kFileName))
            got.push_back(fileName(*a).nameSpace);
        EXPECT_EQ(got, want) << file;
        EXPECT_EQ(r.linkCount, 1);
    }
    // Names are unique per folder: case-insensitively for Win32 names.
    EXPECT_EQ(vol->createFile(kRoot, u"readme.txt"), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(vol->lookup(kRoot, u"readme.txt"), shortName);
    EXPECT_EQ(vol->lookup(kRoot, u"LONGFI~1.TXT"), longName);
}

TEST_F(EmulatedVolume, ResidentAndNonResidentData)
{
    Vol::CreateOptions small, big;
    small.size = 100;
    big.size = 10 * 4096 + 1;
    big.dataRuns = 3;
    const DWORD a = vol->createFile(kRoot, u"small.bin", small);
    const DWORD b = vol->createFile(kRoot, u"big.bin", big);
    const Record ra = record(a), rb = record(b);
    ASSERT_EQ(ra.of(kData).size(), 1u);
    EXPECT_FALSE(ra.of(kData)[0]->nonResident);
    EXPECT_EQ(ra.of(kData)[0]->value.size(), 100u);
    const Attr& d = *rb.of(kData).at(0);
    ASSERT_TRUE(d.nonResident);
    EXPECT_EQ(d.dataSize, big.size);
    ASSERT_EQ(d.runs.size(), 3u);
    ULONGLONG clusters = 0;
    for (size_t i = 0; i < d.runs.size(); ++i) {
        clusters += d.runs[i].length;
        if (i) {
            EXPECT_GE(d.runs[i].lcn, d.runs[i - 1].lcn + LONGLONG(d.runs[i - 1].length));
        }
    }
    EXPECT_EQ(clusters, 11u);
    EXPECT_EQ(fileName(*rb.of(kFileName)[0]).dataSize, big.size);
    // Growing past the resident limit moves the data out; it does not come back.
    ASSERT_TRUE(vol->write(a, 0, 5000));
    ASSERT_TRUE(vol->truncate(a, 10));
    const Record again = record(a);
    EXPECT_TRUE(again.of(kData)[0]->nonResident);
    EXPECT_EQ(again.of(kData)[0]->dataSize, 10u);
}

TEST_F(EmulatedVolume, UpdateSequenceArrayOnDiskAndRawReads)
{
    const DWORD f = vol->createFile(kRoot, u"usa.txt");
    std::vector<BYTE> applied, disk;
    ASSERT_TRUE(vol->encodeRecord(f, applied, false));
    ASSERT_TRUE(vol->encodeRecord(f, disk, true));
    const WORD usn = le<WORD>(disk.data() + 48);
    EXPECT_NE(usn, 0);
    EXPECT_EQ(le<WORD>(disk.data() + 510), usn);
    EXPECT_EQ(le<WORD>(disk.data() + 1022), usn);
    std::vector<BYTE> restored = disk;
    for (int i = 1; i <= 2; ++i)
        std::memcpy(restored.data() + 512 * i - 2, disk.data() + 48 + 2 * i, 2);
    EXPECT_EQ(restored, applied);
    // The MFT's clusters hold the on-disk form; the boot sector the same geometry.
    const NTFS_VOLUME_DATA_BUFFER d = vol->volumeData();
    std::vector<BYTE> raw(1024);
    ASSERT_TRUE(readAt(d.MftStartLcn.QuadPart * d.BytesPerCluster + LONGLONG(f) * 1024, raw));
    EXPECT_EQ(raw, disk);
    ASSERT_TRUE(readAt(0, raw));
    EXPECT_EQ(std::memcmp(raw.data() + 3, "NTFS    ", 8), 0);
    EXPECT_EQ(le<LONGLONG>(raw.data() + 48), d.MftStartLcn.QuadPart);
    EXPECT_EQ(static_cast<signed char>(raw[64]), -10);
    // Raw reads are sector-aligned only.
    std::vector<BYTE> sector(512);
    EXPECT_FALSE(readAt(7, sector));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
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
    DWORD calls = 0;
    std::vector<DWORD> seen;
    for (const UsnRec& u : enumerate(middle, 600, &calls)) { // a few records per call
        EXPECT_LE(u.usn, middle);
        seen.push_back(DWORD(u.ref));
    }
    EXPECT_GT(calls, 5u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.size(), 41u); // the root plus the 40 files not changed since `middle`
    EXPECT_EQ(seen.front(), kRoot);
    // V0 input, a later start; too small an output or input.
    MFT_ENUM_DATA_V0 v0{};
    v0.StartFileReferenceNumber = files[45];
    v0.HighUsn = query().NextUsn;
    std::vector<BYTE> out(600);
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), DWORD(out.size()), &got));
    EXPECT_EQ(usnRecords(out.data(), got).size(), 5u);
    EXPECT_FALSE(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), 40, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(ioctl(FSCTL_ENUM_USN_DATA, &v0, 16, out.data(), DWORD(out.size()), &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // A free record answers with the nearest lower record in use.
    const DWORD a = files[47], b = files[48], c = files[49];
    const WORD seq = WORD(vol->fileReference(b) >> 48);
    ASSERT_TRUE(vol->remove(b));
    Record r;
    EXPECT_EQ(readRecord(b, r), a);
    EXPECT_EQ(r.recordNumber, a);
    EXPECT_EQ(readRecord(c + 1000, r), c); // past the end: the last record
    vol->redirectRecord(c, a);
    EXPECT_EQ(readRecord(c, r), a);
    vol->clearRedirects();
    EXPECT_EQ(readRecord(c, r), c);
    // The lowest free record is reused, with the next sequence number.
    const DWORD again = vol->createFile(kRoot, u"again");
    EXPECT_EQ(again, b);
    EXPECT_EQ(WORD(vol->fileReference(again) >> 48), WORD(seq + 1));
    EXPECT_EQ(record(again).sequence, seq + 1);
}

// ---- the journal -------------------------------------------------------------
TEST_F(EmulatedVolume, ChangesWriteTheRecordsWindowsWrites)
{
    const USN start = query().NextUsn;
    const DWORD dir = vol->createFolder(kRoot, u"docs");
    const DWORD f = vol->createFile(dir, u"a.txt");
    vol->write(f, 0, 10);
    vol->rename(f, dir, u"a.txt", kRoot, u"b.txt");
    vol->link(f, dir, u"c.txt");
    vol->setAttributes(f, FILE_ATTRIBUTE_HIDDEN);
    vol->remove(f, dir, u"c.txt");
    vol->remove(f);
    const auto recs = journalFrom(start);
    const ULONGLONG fref = recs.at(2).ref;
    const ULONGLONG dref = Ntfs::makeFileReference(dir, WORD(vol->fileReference(dir) >> 48));
    const ULONGLONG rref = Ntfs::makeFileReference(5, 5);
    const struct {
        DWORD reason;
        const char16_t* name;
        ULONGLONG parent;
    } want[] = {
        {USN_REASON_FILE_CREATE, u"docs", rref},
        {USN_REASON_FILE_CREATE | USN_REASON_CLOSE, u"docs", rref},
        {USN_REASON_FILE_CREATE, u"a.txt", dref},
        {USN_REASON_FILE_CREATE | USN_REASON_CLOSE, u"a.txt", dref},
        {USN_REASON_DATA_EXTEND, u"a.txt", dref},
        {USN_REASON_DATA_EXTEND | USN_REASON_CLOSE, u"a.txt", dref},
        {USN_REASON_RENAME_OLD_NAME, u"a.txt", dref},
        {USN_REASON_RENAME_NEW_NAME, u"b.txt", rref},
        {USN_REASON_RENAME_NEW_NAME | USN_REASON_CLOSE, u"b.txt", rref},
        {USN_REASON_HARD_LINK_CHANGE, u"c.txt", dref},
        {USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE, u"b.txt", rref},
        {USN_REASON_BASIC_INFO_CHANGE, u"b.txt", rref},
        {USN_REASON_BASIC_INFO_CHANGE | USN_REASON_CLOSE, u"b.txt", rref},
        {USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE, u"c.txt", dref},
        {USN_REASON_FILE_DELETE | USN_REASON_CLOSE, u"b.txt", rref},
    };
    ASSERT_EQ(recs.size(), std::size(want));
    USN at = start;
    for (size_t i = 0; i < recs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(recs[i].reason, want[i].reason);
        EXPECT_EQ(recs[i].name, want[i].name);
        EXPECT_EQ(recs[i].parent, want[i].parent);
        EXPECT_EQ(recs[i].usn, at);
        at += ((60 + recs[i].name.size() * 2 + 7) / 8) * 8;
        if (i >= 2) {
            EXPECT_EQ(recs[i].ref, fref);
        }
    }
    EXPECT_EQ(recs[0].attributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(recs[14].attributes, DWORD(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(query().NextUsn, at);
}

TEST_F(EmulatedVolume, OpenFilesAccumulateReasonsUntilClose)
{
    vol->setAutoClose(false);
    const USN start = query().NextUsn;
    const DWORD f = vol->createFile(kRoot, u"log.txt");
    vol->write(f, 0, 100);
    vol->write(f, 100, 100); // same reason: no new record
    vol->write(f, 0, 10);
    vol->close(f);
    vol->close(f); // nothing open: nothing written
    const auto recs = journalFrom(start);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].reason, DWORD(USN_REASON_FILE_CREATE));
    EXPECT_EQ(recs[1].reason, DWORD(USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND));
    EXPECT_EQ(recs[2].reason, DWORD(USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND | USN_REASON_DATA_OVERWRITE));
    EXPECT_EQ(recs[3].reason, recs[2].reason | USN_REASON_CLOSE);
    // Filters: only close records; only a reason mask.
    auto req = readRequest(start);
    req.ReturnOnlyOnClose = 1;
    USN next = 0;
    EXPECT_EQ(readJournal(req, nullptr, &next).size(), 1u);
    EXPECT_EQ(next, query().NextUsn);
    req.ReturnOnlyOnClose = 0;
    req.ReasonMask = USN_REASON_DATA_OVERWRITE;
    EXPECT_EQ(readJournal(req).size(), 2u);
}

TEST_F(EmulatedVolume, JournalSizeLimitAndLostEntries)
{
    Vol::Options o;
    o.journalMaximumSize = 4096;
    o.journalAllocationDelta = 1024;
    mount(o);
    const USN first = query().FirstUsn;
    for (int i = 0; i < 200; ++i)
        vol->createFile(kRoot, numbered(u"file", i));
    const auto j = query();
    EXPECT_GT(j.FirstUsn, first);
    EXPECT_LE(ULONGLONG(j.NextUsn - j.FirstUsn), 4096u + 1024u);
    EXPECT_EQ(j.MaximumSize, 4096u);
    DWORD error = 0;
    readJournal(readRequest(j.FirstUsn - 8), &error);
    EXPECT_EQ(error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    const auto recs = journalFrom(j.FirstUsn);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front().usn, j.FirstUsn);
    EXPECT_EQ(recs.back().reason & USN_REASON_CLOSE, USN_REASON_CLOSE);
    EXPECT_EQ(journalFrom(0).size(), recs.size()); // 0 starts at the first record there is
    // A lost event queue: every older position reads as deleted.
    vol->discardJournalEntries();
    readJournal(readRequest(j.NextUsn), &error);
    EXPECT_EQ(error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));
}

TEST_F(EmulatedVolume, JournalQueryCreateDelete)
{
    Vol::Options o;
    o.journalActive = false;
    mount(o);
    USN_JOURNAL_DATA_V1 j{};
    DWORD got = 0;
    EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_NOT_ACTIVE));
    const DWORD quiet = vol->createFile(kRoot, u"before.txt"); // no journal: no record, USN 0
    CREATE_USN_JOURNAL_DATA c{8u << 20, 1u << 20};
    ASSERT_TRUE(ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got));
    j = query();
    EXPECT_EQ(j.FirstUsn, j.NextUsn);
    Vol::FileInfo info;
    vol->fileInfo(quiet, info);
    EXPECT_EQ(info.usn, 0);
    // A deletion in progress: 1178 until a waiter sees it through.
    vol->beginJournalDeletion();
    EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_DELETE_IN_PROGRESS));
    EXPECT_FALSE(ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_DELETE_IN_PROGRESS));
    DELETE_USN_JOURNAL_DATA d{j.UsnJournalID, USN_DELETE_FLAG_NOTIFY, {}};
    EXPECT_TRUE(ioctl(FSCTL_DELETE_USN_JOURNAL, &d, sizeof d, nullptr, 0, &got));
    EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_NOT_ACTIVE));
    ASSERT_TRUE(ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got));
    const auto fresh = query();
    EXPECT_NE(fresh.UsnJournalID, j.UsnJournalID);
    EXPECT_GE(fresh.FirstUsn, j.NextUsn); // USNs never go back
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
    ASSERT_TRUE(ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got));
    auto req = readRequest(0);
    req.UsnJournalID ^= 1;
    DWORD error = 0;
    readJournal(req, &error);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, JournalReadBlocksOnTheClockSeam)
{
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    const USN next = query().NextUsn;
    auto read = [&](ULONGLONG wait) {
        return std::async(std::launch::async, [this, next, wait] {
            DWORD error = 0;
            const size_t n = readJournal(readRequest(next, wait), &error).size();
            return std::make_pair(error, n);
        });
    };
    // Enough bytes arrive: it returns with them.
    auto r1 = read(200);
    EXPECT_EQ(r1.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    vol->createFile(kRoot, u"one.txt"); // two records, 144 bytes
    EXPECT_EQ(r1.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    vol->createFile(kRoot, u"two.txt");
    EXPECT_EQ(r1.get(), std::make_pair(DWORD(0), size_t(4)));
    // The time-out passes: it returns with what there is.
    auto r2 = read(1u << 20);
    EXPECT_EQ(r2.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    clock.advance(5000);
    EXPECT_EQ(r2.get(), std::make_pair(DWORD(0), size_t(4)));
    // Cancelled and not-ready reads return at once.
    auto r3 = read(1u << 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_EQ(r3.get().first, DWORD(ERROR_OPERATION_ABORTED));
    auto r4 = read(1u << 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    vol->setNotReady(true);
    EXPECT_EQ(r4.get().first, DWORD(ERROR_NOT_READY));
    vol->setNotReady(false);
    EXPECT_EQ(read(0).get().first, DWORD(0)); // BytesToWaitFor 0 never waits
}

TEST_F(EmulatedVolume, NamedStreamsRequestVersionsAndPausedJournal)
{
    const USN start = query().NextUsn;
    const DWORD f = vol->createFile(kRoot, u"s.txt");
    ASSERT_TRUE(vol->setStream(f, u"Zone.Identifier", 26));
    ASSERT_TRUE(vol->setStream(f, u"Zone.Identifier", 10));
    const Record r = record(f);
    const auto data = r.of(kData);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_TRUE(data[0]->name.empty());
    EXPECT_EQ(data[1]->name, u"Zone.Identifier");
    EXPECT_EQ(data[1]->value.size(), 10u);
    READ_USN_JOURNAL_DATA_V0 v0{};
    v0.StartUsn = start;
    v0.ReasonMask = 0xFFFFFFFF;
    v0.UsnJournalID = query().UsnJournalID;
    const auto recs = readJournal(v0);
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[2].reason, DWORD(USN_REASON_STREAM_CHANGE | USN_REASON_NAMED_DATA_EXTEND));
    EXPECT_EQ(recs[4].reason, DWORD(USN_REASON_NAMED_DATA_TRUNCATION));
    auto v3 = readRequest(start); // versions other than 2 only: refused
    v3.MinMajorVersion = v3.MaxMajorVersion = 3;
    DWORD error = 0;
    readJournal(v3, &error);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_PARAMETER));

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
    const Attr& si = *q.of(kStandardInformation).at(0);
    const Attr& fn = *q.of(kFileName).at(0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(le<ULONGLONG>(si.value.data() + 8 * i), o.creationTime + i);
        EXPECT_EQ(le<ULONGLONG>(fn.value.data() + 8 + 8 * i), o.creationTime + i);
    }
    EXPECT_EQ(le<ULONGLONG>(si.value.data() + 64), 0u); // never journaled: USN 0
    vol->write(quiet, 0, 1);
    EXPECT_EQ(journalFrom(next).size(), 2u);

}

// ---- random changes against a model --------------------------------------------
class RandomChanges : public EmulatedVolume {
protected:
    using Links = std::set<std::pair<DWORD, std::u16string>>;
    struct Model {
        bool folder = false;
        ULONGLONG size = 0;
        Links links;
    };

    // The names and data size a reader finds, following the attribute list;
    // every listed attribute must be where the list says.
    void readBack(DWORD r, Links& links, ULONGLONG& size, bool& hasData)
    {
        std::vector<Record> parts{record(r)};
        if (!parts[0].of(kAttributeList).empty()) {
            const Attr& list = *parts[0].of(kAttributeList)[0];
            std::vector<BYTE> bytes = list.value;
            if (list.nonResident) {
                bytes.clear();
                const DWORD bpc = vol->volumeData().BytesPerCluster;
                for (const DataRun& run : list.runs) {
                    std::vector<BYTE> c(run.length * bpc);
                    ASSERT_TRUE(readAt(run.lcn * bpc, c));
                    bytes.insert(bytes.end(), c.begin(), c.end());
                }
                bytes.resize(list.dataSize);
            }
            std::map<DWORD, Record> holders{{r, parts[0]}};
            for (const ListEntry& e : listEntries(bytes)) {
                const DWORD at = DWORD(e.segment);
                if (!holders.count(at)) {
                    holders[at] = record(at);
                    ASSERT_EQ(DWORD(holders[at].baseReference), r);
                    parts.push_back(holders[at]);
                }
                const auto& attrs = holders[at].attrs;
                EXPECT_TRUE(std::any_of(attrs.begin(), attrs.end(), [&](const Attr& a) {
                    return a.type == e.type && a.instance == e.instance && (!a.nonResident || a.lowestVcn == e.lowestVcn);
                })) << "attribute " << e.type << " in record " << at;
            }
            // And every attribute of an extension record is listed.
            const auto entries = listEntries(bytes);
            for (size_t i = 1; i < parts.size(); ++i)
                for (const Attr& a : parts[i].attrs)
                    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const ListEntry& e) {
                        return e.type == a.type && e.instance == a.instance && DWORD(e.segment) == parts[i].recordNumber;
                    })) << "attribute " << a.type << " of record " << parts[i].recordNumber;
        }
        hasData = false;
        for (const Record& part : parts) {
            for (const Attr* a : part.of(kFileName)) {
                const FileName f = fileName(*a);
                if (f.nameSpace != 2)
                    links.insert({DWORD(f.parent), f.name});
            }
            for (const Attr* a : part.of(kData)) {
                if (!a->name.empty() || a->lowestVcn != 0)
                    continue;
                hasData = true;
                size = a->nonResident ? a->dataSize : a->value.size();
            }
        }
    }
};

TEST_F(RandomChanges, RecordsAndEnumerationFollowTheModel)
{
    Vol::Options o;
    o.bytesPerCluster = 512;
    mount(o);
    std::mt19937 rng(7);
    std::map<DWORD, Model> files;
    files[kRoot].folder = true;
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
    for (const auto& [r, m] : files) {
        SCOPED_TRACE(r);
        Links links;
        ULONGLONG size = 0;
        bool hasData = false;
        readBack(r, links, size, hasData);
        if (r != kRoot) {
            EXPECT_EQ(links, m.links);
        }
        EXPECT_EQ(hasData, !m.folder);
        if (!m.folder) {
            EXPECT_EQ(size, m.size);
        }
        Vol::FileInfo info;
        vol->fileInfo(r, info);
        withList += !info.extensionRecords.empty();
        nonResidentList += info.nonResidentAttributeList;
        multiLink += info.links.size() > 1;
    }
    // The walk met every form.
    EXPECT_GT(files.size(), 300u);
    EXPECT_GT(withList, 50);
    EXPECT_GT(nonResidentList, 20);
    EXPECT_GT(multiLink, 20);
    // Enumeration lists every base record once, in record order.
    std::vector<DWORD> listed, expected;
    for (const UsnRec& u : enumerate(query().NextUsn))
        listed.push_back(DWORD(u.ref));
    for (const auto& kv : files)
        expected.push_back(kv.first);
    EXPECT_EQ(listed, expected);
}

// ---- faults and concurrency ----------------------------------------------------
TEST_F(EmulatedVolume, InjectedFaultsCountCallsAndEndWhenCleared)
{
    NTFS_VOLUME_DATA_BUFFER d{};
    DWORD got = 0;
    auto volumeData = [&] { return ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got); };
    vol->failCall(FSCTL_GET_NTFS_VOLUME_DATA, ERROR_NOT_READY, 2, 1); // after one call, twice
    EXPECT_TRUE(volumeData());
    EXPECT_FALSE(volumeData());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    EXPECT_FALSE(volumeData());
    EXPECT_TRUE(volumeData());
    EXPECT_EQ(vol->callCount(FSCTL_GET_NTFS_VOLUME_DATA), 4u);
    vol->failCall(Vol::CallAnyIoControl, ERROR_INVALID_PARAMETER, Vol::kUntilCleared);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &d, sizeof d, &got));
    vol->clearFaults();
    EXPECT_TRUE(volumeData());
    vol->failCall(Vol::CallRead, ERROR_CRC);
    std::vector<BYTE> sector(512);
    EXPECT_FALSE(readAt(0, sector));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CRC));
}

TEST_F(EmulatedVolume, ChangeRulesRefuseWhatNtfsRefuses)
{
    const DWORD dir = vol->createFolder(kRoot, u"d");
    const DWORD sub = vol->createFolder(dir, u"s");
    const DWORD f = vol->createFile(sub, u"f");
    EXPECT_FALSE(vol->remove(dir));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(vol->move(dir, sub));      // into its own subtree
    EXPECT_FALSE(vol->createFile(f, u"x")); // a file is no folder
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(vol->link(dir, kRoot, u"dirlink"));
    EXPECT_FALSE(vol->remove(0)); // metadata files stay
    for (const std::u16string& bad : {std::u16string(), std::u16string(u".."), std::u16string(u"a/b"),
                                      std::u16string(256, u'x')}) {
        EXPECT_FALSE(vol->createFile(kRoot, bad));
        EXPECT_FALSE(vol->createFolder(kRoot, bad));
    }
    EXPECT_FALSE(vol->rename(f, sub, u"nope", kRoot, u"y"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(vol->remove(f) && vol->remove(sub) && vol->remove(dir));
    EXPECT_FALSE(vol->inUse(dir));
}

TEST_F(EmulatedVolume, RemoveTreeDeepestFirstAndQuietTimes)
{
    const DWORD d = vol->createFolder(kRoot, u"d");
    vol->createFile(d, u"a");
    const DWORD s = vol->createFolder(d, u"s");
    const DWORD b = vol->createFile(s, u"b");
    const DWORD c = vol->createFile(s, u"c");
    ASSERT_TRUE(vol->link(b, kRoot, u"b outside"));
    const USN start = query().NextUsn;
    ASSERT_TRUE(vol->removeTree(d));
    std::vector<std::pair<std::u16string, DWORD>> got;
    for (const UsnRec& u : journalFrom(start))
        got.push_back({u.name, u.reason});
    const DWORD del = USN_REASON_FILE_DELETE | USN_REASON_CLOSE;
    const std::vector<std::pair<std::u16string, DWORD>> want = {
        {u"a", del}, {u"b", USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE}, {u"c", del}, {u"s", del}, {u"d", del}};
    EXPECT_EQ(got, want);
    EXPECT_FALSE(vol->inUse(d));
    EXPECT_FALSE(vol->inUse(c));
    EXPECT_EQ(vol->lookup(kRoot, u"b outside"), b);
    std::vector<std::tuple<DWORD, DWORD, std::u16string>> names;
    vol->forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        names.emplace_back(record, parent, name);
    });
    EXPECT_EQ(names, (std::vector<std::tuple<DWORD, DWORD, std::u16string>>{{b, kRoot, u"b outside"}}));
    // Times set quietly write no journal record.
    const USN before = query().NextUsn;
    Vol::FileTimes t;
    t.lastWriteTime = 123456789;
    ASSERT_TRUE(vol->setTimesQuietly(b, t));
    EXPECT_EQ(query().NextUsn, before);
    Vol::FileInfo info;
    vol->fileInfo(b, info);
    EXPECT_EQ(info.times.lastWriteTime, 123456789u);
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
        auto req = readRequest(at, 1);
        req.Timeout = DWORDLONG(-10000ll * 5);
        DWORD error = 0;
        seen += readJournal(req, &error, &at).size();
        ASSERT_EQ(error, 0u);
        Record r;
        readRecord(DWORD(16 + seen % 200), r);
    }
    writer.join();
    EXPECT_EQ(seen, 2u * 300 + 2u * 299 + 100u); // create 2, write 2 (not the empty first), delete 1 per third
}

} // namespace
