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

template <typename T>
T le(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::u16string numbered(const char16_t* prefix, int i)
{
    const std::string digits = std::to_string(i);
    return std::u16string(prefix) + std::u16string(digits.begin(), digits.end());
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
    std::vector<BYTE> value;             // resident
    ULONGLONG dataSize = 0;              // non-resident
    ULONGLONG lowestVcn = 0, highestVcn = 0;
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
        for (int i = 0; i < ls; ++i)
            len |= ULONGLONG(p[1 + i]) << (8 * i);
        LONGLONG delta = 0;
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

// size: the record size. Fixups-applied form: every sector end equals its USA entry.
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
    while (at + 8 <= size) {
        const DWORD type = le<DWORD>(rec + at);
        if (type == 0xFFFFFFFF)
            break;
        const DWORD length = le<DWORD>(rec + at + 4);
        if (length < 24 || length % 8 || at + length > size)
            return false;
        const BYTE* a = rec + at;
        Attr x;
        x.type = type;
        x.nonResident = a[8];
        x.instance = le<WORD>(a + 14);
        const BYTE nameLength = a[9];
        const WORD nameOffset = le<WORD>(a + 10);
        if (nameOffset + nameLength * 2u > length)
            return false;
        x.name.assign(reinterpret_cast<const char16_t*>(a + nameOffset), nameLength);
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
    FileName f;
    f.parent = le<ULONGLONG>(a.value.data());
    f.dataSize = le<ULONGLONG>(a.value.data() + 48);
    f.nameSpace = a.value[65];
    f.name.assign(reinterpret_cast<const char16_t*>(a.value.data() + 66), a.value[64]);
    return f;
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
        const WORD len = le<WORD>(v.data() + at + 4);
        if (len == 0)
            break;
        out.push_back({le<DWORD>(v.data() + at), le<ULONGLONG>(v.data() + at + 16), le<WORD>(v.data() + at + 24),
                       le<ULONGLONG>(v.data() + at + 8)});
        at += len;
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
        UsnRec u{le<ULONGLONG>(r + 8), le<ULONGLONG>(r + 16), le<LONGLONG>(r + 24), le<DWORD>(r + 40),
                 le<DWORD>(r + 52), {}};
        u.name.assign(reinterpret_cast<const char16_t*>(r + le<WORD>(r + 58)), le<WORD>(r + 56) / 2);
        v.push_back(u);
        at += len;
    }
    return v;
}

// ---- the volume through \\.\E: ---------------------------------------------
class EmulatedVolume : public ::testing::Test {
protected:
    void mount(const Vol::Options& o = Vol::Options())
    {
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
        EXPECT_TRUE(decodeRecord(out.data() + 12, size, rec));
        return DWORD(le<ULONGLONG>(out.data()));
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
    std::vector<UsnRec> journalFrom(USN start)
    {
        auto req = readRequest(start);
        std::vector<BYTE> out(kOutSize);
        DWORD got = 0;
        EXPECT_TRUE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
        return usnRecords(out.data(), got);
    }

    std::shared_ptr<Vol> vol;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// ---- volume identity and geometry ------------------------------------------
TEST_F(EmulatedVolume, VolumeInformationAndGeometry)
{
    Vol::Options o;
    o.bytesPerCluster = 512;
    o.fileSystemName = u"ntfs";
    o.serialNumber = 0x1122334455667788ull;
    CloseHandle(h);
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
}

TEST_F(EmulatedVolume, SystemRecordsAndRoot)
{
    Record root;
    EXPECT_EQ(readRecord(kRoot, root), kRoot);
    EXPECT_EQ(root.sequence, 5);
    EXPECT_EQ(root.flags, 3);                         // in use, directory
    auto names = root.of(0x30);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(fileName(*names[0]).name, u".");
    EXPECT_EQ(fileName(*names[0]).parent, Ntfs::makeFileReference(5, 5));
    EXPECT_EQ(root.of(0x90).size(), 1u);
    EXPECT_EQ(root.of(0x90)[0]->name, u"$I30");
    EXPECT_TRUE(root.of(0x80).empty());
    Record mft;
    readRecord(0, mft);
    ASSERT_EQ(mft.of(0x80).size(), 1u);
    const Attr& data = *mft.of(0x80)[0];
    ASSERT_TRUE(data.nonResident);
    EXPECT_EQ(data.runs.at(0).lcn, vol->volumeData().MftStartLcn.QuadPart);
    EXPECT_EQ(data.dataSize, ULONGLONG(vol->recordCount()) * 1024);
    for (DWORD r = 0; r < 16; ++r)
        EXPECT_TRUE(vol->inUse(r)) << r;
}

// ---- FILE records ------------------------------------------------------------
TEST_F(EmulatedVolume, NameSpacesOfEveryKind)
{
    const DWORD shortName = vol->createFile(kRoot, u"README.TXT");
    Vol::CreateOptions withDos;
    withDos.dosName = u"LONGFI~1.TXT";
    const DWORD longName = vol->createFile(kRoot, u"Long file name.txt", withDos);
    Vol::CreateOptions posix;
    posix.nameForm = Vol::NameForm::Posix;
    const DWORD posixName = vol->createFile(kRoot, u"a:b", posix);
    Record r;
    readRecord(shortName, r);
    ASSERT_EQ(r.of(0x30).size(), 1u);
    EXPECT_EQ(fileName(*r.of(0x30)[0]).nameSpace, 3);
    EXPECT_EQ(r.linkCount, 1);
    Record l;
    readRecord(longName, l);
    ASSERT_EQ(l.of(0x30).size(), 2u);
    EXPECT_EQ(fileName(*l.of(0x30)[0]).nameSpace, 1);
    EXPECT_EQ(fileName(*l.of(0x30)[1]).nameSpace, 2);
    EXPECT_EQ(fileName(*l.of(0x30)[1]).name, u"LONGFI~1.TXT");
    EXPECT_EQ(l.linkCount, 1);
    Record p;
    readRecord(posixName, p);
    EXPECT_EQ(fileName(*p.of(0x30)[0]).nameSpace, 0);
    // Names are unique per folder: case-insensitively for Win32 names.
    EXPECT_EQ(vol->createFile(kRoot, u"readme.txt"), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(vol->lookup(kRoot, u"readme.txt"), shortName);
    EXPECT_EQ(vol->lookup(kRoot, u"LONGFI~1.TXT"), longName);
}

TEST_F(EmulatedVolume, GeneratedShortNames)
{
    Vol::Options o;
    o.shortNames = true;
    CloseHandle(h);
    mount(o);
    const DWORD a = vol->createFile(kRoot, u"Quarterly report.docx");
    const DWORD b = vol->createFile(kRoot, u"Quarterly summary.docx");
    Vol::FileInfo ia, ib;
    vol->fileInfo(a, ia);
    vol->fileInfo(b, ib);
    ASSERT_EQ(ia.links.size(), 2u);
    ASSERT_EQ(ib.links.size(), 2u);
    EXPECT_EQ(ia.links[1].name, u"QUARTE~1.DOC");
    EXPECT_EQ(ib.links[1].name, u"QUARTE~2.DOC");
    // A rename drops the old DOS name and makes one for the new name.
    ASSERT_TRUE(vol->rename(a, u"Annual report.docx"));
    vol->fileInfo(a, ia);
    ASSERT_EQ(ia.links.size(), 2u);
    EXPECT_EQ(ia.links[1].name, u"ANNUAL~1.DOC");
    EXPECT_EQ(vol->lookup(kRoot, u"QUARTE~1.DOC"), 0u);
}

TEST_F(EmulatedVolume, ResidentAndNonResidentData)
{
    Vol::CreateOptions small;
    small.size = 100;
    const DWORD a = vol->createFile(kRoot, u"small.bin", small);
    Vol::CreateOptions big;
    big.size = 10 * 4096 + 1;
    big.dataRuns = 3;
    const DWORD b = vol->createFile(kRoot, u"big.bin", big);
    Record ra, rb;
    readRecord(a, ra);
    ASSERT_EQ(ra.of(0x80).size(), 1u);
    EXPECT_FALSE(ra.of(0x80)[0]->nonResident);
    EXPECT_EQ(ra.of(0x80)[0]->value.size(), 100u);
    readRecord(b, rb);
    const Attr& d = *rb.of(0x80).at(0);
    ASSERT_TRUE(d.nonResident);
    EXPECT_EQ(d.dataSize, 10u * 4096 + 1);
    ASSERT_EQ(d.runs.size(), 3u);
    ULONGLONG clusters = 0;
    for (size_t i = 0; i < d.runs.size(); ++i) {
        clusters += d.runs[i].length;
        if (i) {
            EXPECT_GT(d.runs[i].lcn, d.runs[i - 1].lcn + LONGLONG(d.runs[i - 1].length) - 1);
        }
    }
    EXPECT_EQ(clusters, 11u);
    EXPECT_EQ(fileName(*rb.of(0x30)[0]).dataSize, 10u * 4096 + 1);
    // Growing past the resident limit moves the data out; it does not come back.
    ASSERT_TRUE(vol->write(a, 0, 5000));
    ASSERT_TRUE(vol->truncate(a, 10));
    Record again;
    readRecord(a, again);
    EXPECT_TRUE(again.of(0x80)[0]->nonResident);
    EXPECT_EQ(again.of(0x80)[0]->dataSize, 10u);
    // A folder has an index root and no unnamed data.
    const DWORD f = vol->createFolder(kRoot, u"dir");
    Record rf;
    readRecord(f, rf);
    EXPECT_TRUE(rf.of(0x80).empty());
    EXPECT_EQ(rf.of(0x90).size(), 1u);
    EXPECT_EQ(rf.flags, 3);
}

TEST_F(EmulatedVolume, ResidentAttributeListSpreadsOverExtensionRecords)
{
    Vol::CreateOptions o;
    o.attributeList = Vol::AttributeListForm::Resident;
    o.extensionRecords = 2;
    o.size = 300;
    const DWORD f = vol->createFile(kRoot, u"spread.txt", o);
    ASSERT_TRUE(vol->link(f, kRoot, u"second.txt"));
    Vol::FileInfo info;
    vol->fileInfo(f, info);
    ASSERT_EQ(info.extensionRecords.size(), 2u);
    Record base;
    readRecord(f, base);
    ASSERT_EQ(base.attrs.size(), 2u);                // $STANDARD_INFORMATION and the list
    EXPECT_EQ(base.attrs[0].type, 0x10u);
    const Attr& list = base.attrs[1];
    ASSERT_EQ(list.type, 0x20u);
    ASSERT_FALSE(list.nonResident);
    const auto entries = listEntries(list.value);
    ASSERT_EQ(entries.size(), 4u);                   // SI, two names, data
    EXPECT_EQ(entries[0].segment, info.fileReference);
    size_t names = 0;
    for (DWORD e : info.extensionRecords) {
        Record ext;
        EXPECT_EQ(readRecord(e, ext), e);
        EXPECT_EQ(ext.baseReference, info.fileReference);
        EXPECT_EQ(ext.flags, 1);
        names += ext.of(0x30).size();
        for (const Attr& a : ext.attrs) {
            bool listed = false;
            for (const ListEntry& le : entries)
                listed |= le.type == a.type && DWORD(le.segment) == e && le.instance == a.instance;
            EXPECT_TRUE(listed) << "attribute " << a.type << " of record " << e;
        }
    }
    EXPECT_EQ(names, 2u);
    // Enumeration lists base records only.
    MFT_ENUM_DATA_V0 med{};
    med.HighUsn = query().NextUsn;
    std::vector<BYTE> out(kOutSize);
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), kOutSize, &got));
    for (const UsnRec& u : usnRecords(out.data(), got))
        for (DWORD e : info.extensionRecords)
            EXPECT_NE(DWORD(u.ref), e);
}

TEST_F(EmulatedVolume, NonResidentAttributeListIsReadableFromItsClusters)
{
    Vol::Options opt;
    opt.bytesPerCluster = 512;
    CloseHandle(h);
    mount(opt);
    Vol::CreateOptions o;
    o.attributeList = Vol::AttributeListForm::NonResident;
    o.extensionRecords = 3;
    o.attributeListRuns = 2;
    const DWORD f = vol->createFile(kRoot, u"f.txt", o);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(vol->link(f, kRoot, numbered(u"link number ", i)));
    Record base;
    readRecord(f, base);
    const Attr& list = *base.of(0x20).at(0);
    ASSERT_TRUE(list.nonResident);
    ASSERT_EQ(list.runs.size(), 2u);
    std::vector<BYTE> bytes;
    for (const DataRun& run : list.runs) {
        std::vector<BYTE> cluster(run.length * 512);
        LARGE_INTEGER at;
        at.QuadPart = run.lcn * 512;
        ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(h, cluster.data(), DWORD(cluster.size()), &got, nullptr));
        ASSERT_EQ(got, cluster.size());
        bytes.insert(bytes.end(), cluster.begin(), cluster.end());
    }
    bytes.resize(list.dataSize);
    const auto entries = listEntries(bytes);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const ListEntry& e) { return e.type == 0x30; }), 21);
    // Every listed attribute is where the list says.
    for (const ListEntry& e : entries) {
        Record holder;
        ASSERT_EQ(readRecord(DWORD(e.segment), holder), DWORD(e.segment));
        bool found = false;
        for (const Attr& a : holder.attrs)
            found |= a.type == e.type && a.instance == e.instance;
        EXPECT_TRUE(found);
    }
    // Raw reads are sector-aligned only.
    LARGE_INTEGER odd;
    odd.QuadPart = 7;
    SetFilePointerEx(h, odd, nullptr, FILE_BEGIN);
    BYTE b[512];
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(h, b, 512, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, DataInExtentsAcrossExtensionRecords)
{
    Vol::CreateOptions o;
    o.size = 20 * 4096 - 5;
    o.dataRuns = 6;
    o.dataExtents = 3;
    const DWORD f = vol->createFile(kRoot, u"extents.bin", o);
    Vol::FileInfo info;
    vol->fileInfo(f, info);
    ASSERT_GE(info.extensionRecords.size(), 3u);
    Record base;
    readRecord(f, base);
    const auto entries = listEntries(base.of(0x20).at(0)->value);
    std::vector<Attr> extents;
    std::set<DWORD> holders;
    for (const ListEntry& e : entries) {
        if (e.type != 0x80)
            continue;
        Record ext;
        readRecord(DWORD(e.segment), ext);
        ASSERT_EQ(ext.of(0x80).size(), 1u);
        EXPECT_EQ(ext.of(0x80)[0]->lowestVcn, e.lowestVcn);
        extents.push_back(*ext.of(0x80)[0]);
        holders.insert(DWORD(e.segment));
    }
    ASSERT_EQ(extents.size(), 3u);
    EXPECT_EQ(holders.size(), 3u);
    ULONGLONG vcn = 0;
    for (const Attr& a : extents) {
        EXPECT_EQ(a.lowestVcn, vcn);
        EXPECT_EQ(a.runs.size(), 2u);
        for (const DataRun& r : a.runs)
            vcn += r.length;
        EXPECT_EQ(a.highestVcn, vcn - 1);
        EXPECT_EQ(a.dataSize, a.lowestVcn == 0 ? o.size : 0u);   // sizes only in the first extent
    }
    EXPECT_EQ(vcn, 20u);
}

TEST_F(EmulatedVolume, ManyLinksOverflowIntoAnAttributeListByThemselves)
{
    const DWORD f = vol->createFile(kRoot, u"x");
    const std::u16string longName(200, u'n');
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(vol->link(f, kRoot, longName + char16_t(u'0' + i)));
    Vol::FileInfo info;
    vol->fileInfo(f, info);
    EXPECT_FALSE(info.extensionRecords.empty());
    Record base;
    readRecord(f, base);
    EXPECT_EQ(base.linkCount, 7);
    EXPECT_EQ(base.of(0x20).size(), 1u);
    // Removing the links brings everything back into the base record.
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(vol->remove(f, kRoot, longName + char16_t(u'0' + i)));
    vol->fileInfo(f, info);
    EXPECT_TRUE(info.extensionRecords.empty());
    Record plain;
    readRecord(f, plain);
    EXPECT_TRUE(plain.of(0x20).empty());
}

TEST_F(EmulatedVolume, UpdateSequenceArrayOnDiskAndRawMftReads)
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
    // The MFT's clusters hold the on-disk form.
    const NTFS_VOLUME_DATA_BUFFER d = vol->volumeData();
    LARGE_INTEGER at;
    at.QuadPart = d.MftStartLcn.QuadPart * d.BytesPerCluster + LONGLONG(f) * 1024;
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    std::vector<BYTE> raw(1024);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, raw.data(), 1024, &got, nullptr));
    EXPECT_EQ(raw, disk);
    // The boot sector describes the same geometry.
    at.QuadPart = 0;
    SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    ASSERT_TRUE(ReadFile(h, raw.data(), 512, &got, nullptr));
    EXPECT_EQ(std::memcmp(raw.data() + 3, "NTFS    ", 8), 0);
    EXPECT_EQ(le<LONGLONG>(raw.data() + 48), d.MftStartLcn.QuadPart);
    EXPECT_EQ(static_cast<signed char>(raw[64]), -10);
}

// ---- enumeration and record reads ----------------------------------------------
TEST_F(EmulatedVolume, EnumerationOrderRangeAndEnd)
{
    std::vector<DWORD> files;
    for (int i = 0; i < 50; ++i)
        files.push_back(vol->createFile(kRoot, numbered(u"f", i)));
    const USN middle = query().NextUsn;
    for (int i = 0; i < 10; ++i)
        vol->write(files[size_t(i)], 0, 10);
    MFT_ENUM_DATA_V1 med{};
    med.HighUsn = middle;
    med.MinMajorVersion = med.MaxMajorVersion = 2;
    std::vector<BYTE> out(600);                      // a few records per call
    std::vector<DWORD> seen;
    DWORD got = 0, calls = 0;
    while (ioctl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), DWORD(out.size()), &got)) {
        ++calls;
        for (const UsnRec& u : usnRecords(out.data(), got)) {
            EXPECT_LE(u.usn, middle);
            seen.push_back(DWORD(u.ref));
        }
        med.StartFileReferenceNumber = le<ULONGLONG>(out.data());
    }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));
    EXPECT_GT(calls, 5u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    // The root plus the 40 files not changed since `middle`.
    EXPECT_EQ(seen.size(), 41u);
    EXPECT_EQ(seen.front(), kRoot);
    // V0 input, a later start; too small an output.
    MFT_ENUM_DATA_V0 v0{};
    v0.StartFileReferenceNumber = files[45];
    v0.HighUsn = query().NextUsn;
    ASSERT_TRUE(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), DWORD(out.size()), &got));
    EXPECT_EQ(usnRecords(out.data(), got).size(), 5u);
    EXPECT_FALSE(ioctl(FSCTL_ENUM_USN_DATA, &v0, sizeof v0, out.data(), 40, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(ioctl(FSCTL_ENUM_USN_DATA, &v0, 16, out.data(), DWORD(out.size()), &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, FreeRecordAnswersWithNearestLowerRecordInUse)
{
    const DWORD a = vol->createFile(kRoot, u"a");
    const DWORD b = vol->createFile(kRoot, u"b");
    const DWORD c = vol->createFile(kRoot, u"c");
    const WORD seq = WORD(vol->fileReference(b) >> 48);
    ASSERT_TRUE(vol->remove(b));
    Record r;
    EXPECT_EQ(readRecord(b, r), a);
    EXPECT_EQ(r.recordNumber, a);
    EXPECT_EQ(readRecord(c + 1000, r), c);           // past the end: the last record
    vol->redirectRecord(c, a);
    EXPECT_EQ(readRecord(c, r), a);
    vol->clearRedirects();
    EXPECT_EQ(readRecord(c, r), c);
    // The lowest free record is reused, with the next sequence number.
    const DWORD again = vol->createFile(kRoot, u"again");
    EXPECT_EQ(again, b);
    EXPECT_EQ(WORD(vol->fileReference(again) >> 48), WORD(seq + 1));
    readRecord(again, r);
    EXPECT_EQ(r.sequence, seq + 1);
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
    struct Want {
        DWORD reason;
        const char16_t* name;
        ULONGLONG parent;
    };
    const Want want[] = {
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
    vol->write(f, 100, 100);                         // same reason: no new record
    vol->write(f, 0, 10);
    vol->close(f);
    vol->close(f);                                   // nothing open: nothing written
    const auto recs = journalFrom(start);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].reason, DWORD(USN_REASON_FILE_CREATE));
    EXPECT_EQ(recs[1].reason, DWORD(USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND));
    EXPECT_EQ(recs[2].reason, DWORD(USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND | USN_REASON_DATA_OVERWRITE));
    EXPECT_EQ(recs[3].reason, recs[2].reason | USN_REASON_CLOSE);
    // Filters: only close records; only a reason mask.
    auto req = readRequest(start);
    req.ReturnOnlyOnClose = 1;
    std::vector<BYTE> out(kOutSize);
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
    EXPECT_EQ(usnRecords(out.data(), got).size(), 1u);
    EXPECT_EQ(le<USN>(out.data()), query().NextUsn);
    req.ReturnOnlyOnClose = 0;
    req.ReasonMask = USN_REASON_DATA_OVERWRITE;
    ASSERT_TRUE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
    EXPECT_EQ(usnRecords(out.data(), got).size(), 2u);
}

TEST_F(EmulatedVolume, JournalHonoursItsMaximumSize)
{
    Vol::Options o;
    o.journalMaximumSize = 4096;
    o.journalAllocationDelta = 1024;
    CloseHandle(h);
    mount(o);
    const USN first = query().FirstUsn;
    for (int i = 0; i < 200; ++i)
        vol->createFile(kRoot, numbered(u"file", i));
    const auto j = query();
    EXPECT_GT(j.FirstUsn, first);
    EXPECT_LE(ULONGLONG(j.NextUsn - j.FirstUsn), 4096u + 1024u);
    EXPECT_EQ(j.MaximumSize, 4096u);
    auto req = readRequest(j.FirstUsn - 8);
    std::vector<BYTE> out(kOutSize);
    DWORD got = 0;
    EXPECT_FALSE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    const auto recs = journalFrom(j.FirstUsn);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front().usn, j.FirstUsn);
    EXPECT_EQ(recs.back().reason & USN_REASON_CLOSE, USN_REASON_CLOSE);
    // 0 starts at the first record there is.
    EXPECT_EQ(journalFrom(0).size(), recs.size());
    // A lost event queue: every older position reads as deleted.
    vol->discardJournalEntries();
    req = readRequest(j.NextUsn);
    EXPECT_FALSE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_ENTRY_DELETED));
}

TEST_F(EmulatedVolume, JournalQueryCreateDelete)
{
    Vol::Options o;
    o.journalActive = false;
    CloseHandle(h);
    mount(o);
    USN_JOURNAL_DATA_V1 j{};
    DWORD got = 0;
    EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_JOURNAL_NOT_ACTIVE));
    const DWORD quiet = vol->createFile(kRoot, u"before.txt");   // no journal: no record, USN 0
    CREATE_USN_JOURNAL_DATA c{8u << 20, 1u << 20};
    ASSERT_TRUE(ioctl(FSCTL_CREATE_USN_JOURNAL, &c, sizeof c, nullptr, 0, &got));
    j = query();
    EXPECT_EQ(j.MaximumSize, 8u << 20);
    EXPECT_EQ(j.AllocationDelta, 1u << 20);
    EXPECT_EQ(j.FirstUsn, j.NextUsn);
    Vol::FileInfo info;
    vol->fileInfo(quiet, info);
    EXPECT_EQ(info.usn, 0);
    // Creating again changes only the sizes.
    CREATE_USN_JOURNAL_DATA bigger{32u << 20, 4u << 20};
    ASSERT_TRUE(ioctl(FSCTL_CREATE_USN_JOURNAL, &bigger, sizeof bigger, nullptr, 0, &got));
    EXPECT_EQ(query().UsnJournalID, j.UsnJournalID);
    EXPECT_EQ(query().MaximumSize, 32u << 20);
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
    EXPECT_GE(fresh.FirstUsn, j.NextUsn);            // USNs never go back
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
    std::vector<BYTE> out(kOutSize);
    EXPECT_FALSE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(EmulatedVolume, JournalReadBlocksOnTheClockSeam)
{
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    const USN next = query().NextUsn;
    auto read = [&](ULONGLONG wait) {
        return std::async(std::launch::async, [this, next, wait] {
            auto req = readRequest(next, wait);
            std::vector<BYTE> out(kOutSize);
            DWORD got = 0;
            const BOOL ok = ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got);
            return std::make_pair(ok ? ERROR_SUCCESS : GetLastError(), usnRecords(out.data(), ok ? got : 8).size());
        });
    };
    // Enough bytes arrive: it returns with them.
    auto r1 = read(200);
    EXPECT_EQ(r1.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    vol->createFile(kRoot, u"one.txt");              // two records, 144 bytes
    EXPECT_EQ(r1.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    vol->createFile(kRoot, u"two.txt");
    auto got1 = r1.get();
    EXPECT_EQ(got1.first, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(got1.second, 4u);
    // The time-out passes: it returns with what there is.
    auto r2 = read(1u << 20);
    EXPECT_EQ(r2.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    clock.advance(5000);
    EXPECT_EQ(r2.get(), std::make_pair(DWORD(ERROR_SUCCESS), size_t(4)));
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
    // BytesToWaitFor 0 never waits.
    EXPECT_EQ(read(0).get().first, DWORD(ERROR_SUCCESS));
}

TEST_F(EmulatedVolume, NamedStreamsAndVersionZeroRequests)
{
    const USN start = query().NextUsn;
    const DWORD f = vol->createFile(kRoot, u"s.txt");
    ASSERT_TRUE(vol->setStream(f, u"Zone.Identifier", 26));
    ASSERT_TRUE(vol->setStream(f, u"Zone.Identifier", 10));
    Record r;
    readRecord(f, r);
    const auto data = r.of(0x80);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_TRUE(data[0]->name.empty());
    EXPECT_EQ(data[1]->name, u"Zone.Identifier");
    EXPECT_EQ(data[1]->value.size(), 10u);
    READ_USN_JOURNAL_DATA_V0 v0{};
    v0.StartUsn = start;
    v0.ReasonMask = 0xFFFFFFFF;
    v0.UsnJournalID = query().UsnJournalID;
    std::vector<BYTE> out(kOutSize);
    DWORD got = 0;
    ASSERT_TRUE(ioctl(FSCTL_READ_USN_JOURNAL, &v0, sizeof v0, out.data(), kOutSize, &got));
    const auto recs = usnRecords(out.data(), got);
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[2].reason, DWORD(USN_REASON_STREAM_CHANGE | USN_REASON_NAMED_DATA_EXTEND));
    EXPECT_EQ(recs[4].reason, DWORD(USN_REASON_NAMED_DATA_TRUNCATION));
    // Versions other than 2 only: refused.
    auto v1 = readRequest(start);
    v1.MinMajorVersion = v1.MaxMajorVersion = 3;
    EXPECT_FALSE(ioctl(FSCTL_READ_USN_JOURNAL, &v1, sizeof v1, out.data(), kOutSize, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Metadata files are enumerated only when asked for.
    Vol::Options o;
    o.enumerateMetafiles = true;
    CloseHandle(h);
    mount(o);
    MFT_ENUM_DATA_V0 med{};
    med.HighUsn = query().NextUsn;
    ASSERT_TRUE(ioctl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), kOutSize, &got));
    const auto all = usnRecords(out.data(), got);
    ASSERT_EQ(all.size(), 12u);                      // 0..11; 12..15 have no name
    EXPECT_EQ(all[0].name, u"$MFT");
    EXPECT_EQ(all[11].name, u"$Extend");
}

TEST_F(EmulatedVolume, PausedJournalAndGivenTimes)
{
    const USN next = query().NextUsn;
    vol->setJournalPaused(true);
    Vol::CreateOptions o;
    o.creationTime = 130000000000000000ull;
    o.lastWriteTime = 130000000000000001ull;
    o.changeTime = 130000000000000002ull;
    o.lastAccessTime = 130000000000000003ull;
    const DWORD f = vol->createFile(kRoot, u"quiet.txt", o);
    EXPECT_EQ(query().NextUsn, next);
    vol->setJournalPaused(false);
    Record r;
    readRecord(f, r);
    const Attr& si = *r.of(0x10).at(0);
    const Attr& fn = *r.of(0x30).at(0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(le<ULONGLONG>(si.value.data() + 8 * i), 130000000000000000ull + i);
        EXPECT_EQ(le<ULONGLONG>(fn.value.data() + 8 + 8 * i), 130000000000000000ull + i);
    }
    EXPECT_EQ(le<ULONGLONG>(si.value.data() + 64), 0u);   // never journaled: USN 0
    vol->write(f, 0, 1);
    EXPECT_EQ(journalFrom(next).size(), 2u);
}

// ---- random changes against a model --------------------------------------------
class RandomChanges : public EmulatedVolume {
protected:
    struct Model {
        bool folder = false;
        ULONGLONG size = 0;
        std::set<std::pair<DWORD, std::u16string>> links;
    };

    // The names and data size a reader finds, following the attribute list.
    void readBack(DWORD r, std::set<std::pair<DWORD, std::u16string>>& links, ULONGLONG& size, bool& hasData)
    {
        Record base;
        ASSERT_EQ(readRecord(r, base), r);
        std::vector<Record> parts{base};
        if (!base.of(0x20).empty()) {
            const Attr& list = *base.of(0x20)[0];
            std::vector<BYTE> bytes = list.value;
            if (list.nonResident) {
                bytes.clear();
                const DWORD bpc = vol->volumeData().BytesPerCluster;
                for (const DataRun& run : list.runs) {
                    std::vector<BYTE> c(run.length * bpc);
                    LARGE_INTEGER at;
                    at.QuadPart = run.lcn * bpc;
                    DWORD got = 0;
                    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
                    ASSERT_TRUE(ReadFile(h, c.data(), DWORD(c.size()), &got, nullptr));
                    bytes.insert(bytes.end(), c.begin(), c.end());
                }
                bytes.resize(list.dataSize);
            }
            std::set<DWORD> holders;
            for (const ListEntry& e : listEntries(bytes))
                holders.insert(DWORD(e.segment));
            for (DWORD e : holders) {
                if (e == r)
                    continue;
                Record ext;
                ASSERT_EQ(readRecord(e, ext), e);
                ASSERT_EQ(DWORD(ext.baseReference), r);
                parts.push_back(ext);
            }
        }
        hasData = false;
        for (const Record& part : parts) {
            for (const Attr* a : part.of(0x30)) {
                const FileName f = fileName(*a);
                if (f.nameSpace != 2)
                    links.insert({DWORD(f.parent), f.name});
            }
            for (const Attr* a : part.of(0x80)) {
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
    CloseHandle(h);
    mount(o);
    std::mt19937 rng(7);
    std::map<DWORD, Model> files;
    files[kRoot].folder = true;
    std::vector<DWORD> folders{kRoot};
    int serial = 0;
    auto pick = [&](const auto& v) { return v[rng() % v.size()]; };
    auto anyFile = [&]() -> DWORD {
        auto it = files.begin();
        std::advance(it, rng() % files.size());
        return it->first;
    };
    for (int step = 0; step < 3000; ++step) {
        const int op = int(rng() % 10);
        const DWORD f = anyFile();
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
            Model& n = files[r];
            n = Model();
            n.folder = folder;
            n.size = folder ? 0 : c.size;
            n.links.insert({parent, name});
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
            const std::u16string name = numbered(std::u16string(rng() % 150 + 1, u'L').c_str(), ++serial);
            ASSERT_TRUE(vol->link(f, parent, name));
            m.links.insert({parent, name});
        } else if (op == 7) {
            const auto link = *m.links.begin();
            Vol::FileInfo info;
            vol->fileInfo(f, info);
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
        std::set<std::pair<DWORD, std::u16string>> links;
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
    // Enumeration lists every file once, in record order.
    MFT_ENUM_DATA_V0 med{};
    med.HighUsn = query().NextUsn;
    std::vector<BYTE> out(kOutSize);
    std::vector<DWORD> listed;
    DWORD got = 0;
    while (ioctl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), kOutSize, &got)) {
        for (const UsnRec& u : usnRecords(out.data(), got))
            listed.push_back(DWORD(u.ref));
        med.StartFileReferenceNumber = le<ULONGLONG>(out.data());
    }
    std::vector<DWORD> expected;
    for (const auto& kv : files)
        expected.push_back(kv.first);
    EXPECT_EQ(listed, expected);
}

// ---- faults and concurrency ----------------------------------------------------
TEST_F(EmulatedVolume, InjectedFaults)
{
    NTFS_VOLUME_DATA_BUFFER d{};
    DWORD got = 0;
    vol->failCall(FSCTL_GET_NTFS_VOLUME_DATA, ERROR_NOT_READY, 2, 1);
    EXPECT_TRUE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_FALSE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    EXPECT_FALSE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_TRUE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    EXPECT_EQ(vol->callCount(FSCTL_GET_NTFS_VOLUME_DATA), 4u);
    vol->failCall(Vol::CallAnyIoControl, ERROR_INVALID_PARAMETER, Vol::kUntilCleared);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(ioctl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &d, sizeof d, &got));
    vol->clearFaults();
    EXPECT_TRUE(ioctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d, &got));
    vol->failCall(Vol::CallOpen, ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileW(u"\\\\.\\E:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    vol->failCall(Vol::CallVolumeInformation, ERROR_NOT_READY);
    WCHAR fs[8];
    EXPECT_FALSE(GetVolumeInformationW(u"E:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 8));
    vol->failCall(Vol::CallRead, ERROR_CRC);
    BYTE b[512];
    EXPECT_FALSE(ReadFile(h, b, 512, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CRC));
}

TEST_F(EmulatedVolume, ChangeRulesRefuseWhatNtfsRefuses)
{
    const DWORD dir = vol->createFolder(kRoot, u"d");
    const DWORD sub = vol->createFolder(dir, u"s");
    const DWORD f = vol->createFile(sub, u"f");
    EXPECT_FALSE(vol->remove(dir));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(vol->move(dir, sub));               // into its own subtree
    EXPECT_FALSE(vol->createFile(f, u"x"));          // a file is no folder
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(vol->link(dir, kRoot, u"dirlink"));
    EXPECT_FALSE(vol->remove(0));                    // metadata files stay
    EXPECT_FALSE(vol->createFile(kRoot, u""));
    EXPECT_FALSE(vol->createFolder(kRoot, u".."));
    EXPECT_FALSE(vol->createFile(kRoot, u"a/b"));
    EXPECT_FALSE(vol->createFile(kRoot, std::u16string(256, u'x')));
    EXPECT_FALSE(vol->rename(f, sub, u"nope", kRoot, u"y"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(vol->remove(f));
    ASSERT_TRUE(vol->remove(sub));
    ASSERT_TRUE(vol->remove(dir));
    EXPECT_FALSE(vol->inUse(dir));
}

TEST_F(EmulatedVolume, RemoveTreeDeepestFirst)
{
    const DWORD d = vol->createFolder(kRoot, u"d");
    const DWORD a = vol->createFile(d, u"a");
    const DWORD s = vol->createFolder(d, u"s");
    const DWORD b = vol->createFile(s, u"b");
    const DWORD c = vol->createFile(s, u"c");
    ASSERT_TRUE(vol->link(b, kRoot, u"b outside"));
    const auto kids = vol->children(d);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0], std::make_pair(a, std::u16string(u"a")));
    EXPECT_EQ(kids[1], std::make_pair(s, std::u16string(u"s")));
    const USN start = query().NextUsn;
    ASSERT_TRUE(vol->removeTree(d));
    const auto recs = journalFrom(start);
    std::vector<std::pair<std::u16string, DWORD>> got;
    for (const UsnRec& u : recs)
        got.push_back({u.name, u.reason});
    const DWORD del = USN_REASON_FILE_DELETE | USN_REASON_CLOSE;
    const std::vector<std::pair<std::u16string, DWORD>> want = {
        {u"a", del}, {u"b", USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE}, {u"c", del}, {u"s", del}, {u"d", del}};
    EXPECT_EQ(got, want);
    EXPECT_FALSE(vol->inUse(d));
    EXPECT_FALSE(vol->inUse(c));
    EXPECT_EQ(vol->lookup(kRoot, u"b outside"), b);
    EXPECT_TRUE(vol->children(d).empty());
    size_t names = 0;
    vol->forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        ++names;
        EXPECT_EQ(record, b);
        EXPECT_EQ(parent, kRoot);
        EXPECT_EQ(name, u"b outside");
    });
    EXPECT_EQ(names, 1u);
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
    std::vector<BYTE> out(kOutSize);
    while (!done || at < query().NextUsn) {
        auto req = readRequest(at, 1);
        req.Timeout = DWORDLONG(-10000ll * 5);
        DWORD got = 0;
        ASSERT_TRUE(ioctl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kOutSize, &got));
        seen += usnRecords(out.data(), got).size();
        at = le<USN>(out.data());
        Record r;
        readRecord(DWORD(16 + seen % 200), r);
    }
    writer.join();
    EXPECT_EQ(seen, 2u * 300 + 2u * 299 + 100u);  // create 2, write 2 (not the empty first), delete 1 per third
}

} // namespace
