#include "devices/raw/ZRawNtfsVolume.h"
#include "win32/ZUsnRequest.h"

#include "win32/ZClock.h"
#include "ntfs/ZNtfsFixup.h"
#include "devices/raw/ZNtfsPartition.h"
#include "ntfs/ZNtfsRecord.h"
#include "ntfs/ntfs_format.h"
#include "ntfs/ZUsnRecordWriter.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

namespace {

// Boot sector limits NTFS itself accepts.
constexpr DWORD kMinSectorSize = 256;
constexpr DWORD kMaxSectorSize = 4096;
constexpr DWORD kMaxClusterSize = 2u << 20;
constexpr DWORD kMinRecordSize = 512;
constexpr DWORD kMaxRecordSize = 64u << 10;
constexpr BYTE kClusterShiftEncoding = 0x80;  // sectorsPerCluster above: 2^(256 - n)
constexpr WORD kBootEndMarker = 0xAA55;

// Record numbers are handed out as DWORDs by the volume code.
constexpr ULONGLONG kMaxRecords = 1ull << 32;
// Bounds on walks driven by the image.
constexpr size_t kMaxAttributeListBytes = 4u << 20;
constexpr size_t kMaxExtensionRecords = 4096;
constexpr ULONGLONG kMaxIndexBytes = 64ull << 20;
constexpr ULONGLONG kMaxBitmapBytes = 256ull << 20;
// One enumeration call scans this many bytes of the MFT and keeps them for
// the file-record reads that follow it.
constexpr size_t kChunkBytes = 4u << 20;
constexpr size_t kJournalScanPerCall = 4u << 20;
constexpr size_t kJournalWindow = 64u << 10;
constexpr DWORD kJournalPage = 4096;
constexpr DWORD kMaxUsnRecord = 4096;

constexpr WORD kAttrFlagCompressionMask = 0x00FF;
constexpr WORD kAttrFlagEncrypted = 0x4000;
constexpr DWORD kIndexSignature = 0x58444E49;  // "INDX"
constexpr DWORD kIndexHeaderOffset = 24;        // INDEX_HEADER inside an INDX block
constexpr WORD kIndexEntryLast = 0x0002;
constexpr DWORD kStandardInformationV3 = 72;   // holds the USN
constexpr ULONGLONG kLogFileRestartBytes = 8192;

constexpr WCHAR kI30[] = u"$I30";
constexpr WCHAR kJ[] = u"$J";
constexpr WCHAR kMax[] = u"$Max";

constexpr DWORD kFsCaseSensitiveSearch = 0x00000001;
constexpr DWORD kFsCasePreservedNames = 0x00000002;
constexpr DWORD kFsUnicodeOnDisk = 0x00000004;
constexpr DWORD kFsPersistentAcls = 0x00000008;
constexpr DWORD kFsSparseFiles = 0x00000040;
constexpr DWORD kFsReadOnlyVolume = 0x00080000;
constexpr DWORD kFsSupportsUsnJournal = 0x02000000;
constexpr DWORD kMaxComponentLength = 255;

// What a journal stream's 100-ns time-out means.
constexpr LONGLONG kHundredNsPerMs = 10000;
constexpr LONGLONG kFiletimeUnixEpoch = 116444736000000000LL;

// $Extend\$UsnJrnl:$Max.
#pragma pack(push, 1)
struct UsnJournalMax {
    DWORDLONG maximumSize;
    DWORDLONG allocationDelta;
    DWORDLONG journalId;
    USN lowestValidUsn;
};
static_assert(sizeof(UsnJournalMax) == 32, "UsnJournalMax layout");

// USN_RECORD_V3 as it may sit in $J.
struct UsnRecordV3Header {
    DWORD RecordLength;
    WORD MajorVersion;
    WORD MinorVersion;
    BYTE FileReferenceNumber[16];
    BYTE ParentFileReferenceNumber[16];
    USN Usn;
    LARGE_INTEGER TimeStamp;
    DWORD Reason;
    DWORD SourceInfo;
    DWORD SecurityId;
    DWORD FileAttributes;
    WORD FileNameLength;
    WORD FileNameOffset;
};
static_assert(sizeof(UsnRecordV3Header) == 76, "USN_RECORD_V3 layout");

struct IndexNodeHeader {
    DWORD entriesOffset;  // from this header
    DWORD indexLength;    // used bytes, from this header
    DWORD allocatedSize;
    BYTE flags;
    BYTE reserved[3];
};
static_assert(sizeof(IndexNodeHeader) == 16, "IndexNodeHeader layout");
#pragma pack(pop)

constexpr DWORD kUsnRecordV2Header = offsetof(USN_RECORD_V2, FileName);
constexpr DWORD kEnumHeader = sizeof(DWORDLONG);

enum RecordStateCode { StateInUse = 0, StateFree = 1, StateCorrupt = 2 };

int stateCode(ZNtfsRecordState s)
{
    return s == ZNtfsRecordState::InUse ? StateInUse : s == ZNtfsRecordState::Free ? StateFree : StateCorrupt;
}

bool isPowerOfTwo(ULONGLONG v) { return v && !(v & (v - 1)); }

DWORD alignUp8(DWORD v) { return (v + 7u) & ~7u; }

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

template <typename T>
T load(const BYTE* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

ULONGLONG recordNumberOf(ULONGLONG reference) { return reference & Ntfs::kRecordNumberMask; }

// Multiplicative 64-bit mix of a byte block (the fingerprint of a volume
// without a journal).
ULONGLONG mix(ULONGLONG h, const BYTE* p, size_t n)
{
    constexpr ULONGLONG kPrime = 0x100000001B3ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        h = (h ^ load<ULONGLONG>(p + i)) * kPrime;
    for (; i < n; ++i)
        h = (h ^ p[i]) * kPrime;
    return h;
}

} // namespace

// The facts of one base record that the enumeration reports.
struct ZRawNtfsVolume::FileSummary {
    WORD sequence = 0;
    bool directory = false;
    DWORD attributes = 0;
    DWORD securityId = 0;
    USN usn = 0;
    ULONGLONG parent = 0;
    std::u16string name;
    bool hasName = false;
};

ZRawNtfsVolume::ZRawNtfsVolume(std::unique_ptr<ZNtfsImageSource> image)
    : image_(std::move(image))
{
}

ZRawNtfsVolume::~ZRawNtfsVolume() = default;

std::shared_ptr<ZRawNtfsVolume> ZRawNtfsVolume::create(std::unique_ptr<ZNtfsImageSource> image, QString* error)
{
    if (error)
        error->clear();
    const ZVolumeLocation where = locateVolume(*image);
    std::unique_ptr<ZNtfsImageSource> volume(new ZNtfsImageWindow(std::move(image), where.offset, where.length));
    std::shared_ptr<ZRawNtfsVolume> device(new ZRawNtfsVolume(std::move(volume)));
    device->fileSystem_ = where.fileSystem;
    if (where.fileSystem != u"NTFS") {
        if (error)
            *error = where.fileSystem.empty() ? QStringLiteral("no NTFS volume in the image")
                                              : QStringLiteral("the volume is %1, not NTFS")
                                                    .arg(QString::fromStdU16String(where.fileSystem));
        return device;
    }
    QString why;
    device->ntfs_ = device->mount(&why);
    if (!device->ntfs_) {
        // A volume NTFS cannot mount shows as an unrecognised one.
        device->fileSystem_.clear();
        if (error)
            *error = why;
    }
    return device;
}

std::shared_ptr<ZVolumeDevice> openRawNtfsVolume(const QString& path, QString* error)
{
    std::unique_ptr<ZNtfsImageSource> image = openNtfsImageFile(path, error);
    if (!image)
        return nullptr;
    return ZRawNtfsVolume::create(std::move(image), error);
}

// ---------------------------------------------------------------------------
// Mounting: boot sector, then $MFT through its own runs.

bool ZRawNtfsVolume::parseBootSector(const BYTE* sector, QString* error)
{
    Ntfs::BootSector boot;
    std::memcpy(&boot, sector, sizeof boot);
    Geometry g;
    g.bytesPerSector = boot.bytesPerSector;
    if (!isPowerOfTwo(g.bytesPerSector) || g.bytesPerSector < kMinSectorSize || g.bytesPerSector > kMaxSectorSize
        || boot.endMarker != kBootEndMarker) {
        *error = QStringLiteral("bad NTFS boot sector");
        return false;
    }
    ULONGLONG cluster;
    if (boot.sectorsPerCluster > kClusterShiftEncoding) {
        const unsigned shift = 256u - boot.sectorsPerCluster;
        if (shift > 31) {
            *error = QStringLiteral("bad cluster size");
            return false;
        }
        cluster = 1ull << shift;
    } else {
        cluster = ULONGLONG(boot.sectorsPerCluster) * g.bytesPerSector;
    }
    if (!isPowerOfTwo(cluster) || cluster < g.bytesPerSector || cluster > kMaxClusterSize) {
        *error = QStringLiteral("bad cluster size");
        return false;
    }
    g.bytesPerCluster = DWORD(cluster);
    ULONGLONG record;
    if (boot.clustersPerFileRecord < 0) {
        const unsigned shift = unsigned(-int(boot.clustersPerFileRecord));
        record = shift < 31 ? (1ull << shift) : 0;
    } else {
        record = ULONGLONG(boot.clustersPerFileRecord) * cluster;
    }
    if (!isPowerOfTwo(record) || record < kMinRecordSize || record > kMaxRecordSize) {
        *error = QStringLiteral("bad file record size");
        return false;
    }
    g.recordSize = DWORD(record);
    if (boot.totalSectors <= 0 || boot.mftLcn < 0 || boot.mftMirrLcn < 0) {
        *error = QStringLiteral("bad volume size or MFT position");
        return false;
    }
    g.totalSectors = ULONGLONG(boot.totalSectors);
    // The volume cannot reach past the image: clusters beyond it are unreadable.
    const ULONGLONG imageSectors = image_->size() / g.bytesPerSector;
    const ULONGLONG sectors = std::min(g.totalSectors, imageSectors);
    g.totalClusters = g.totalSectors / (cluster / g.bytesPerSector);
    const ULONGLONG readableClusters = sectors / (cluster / g.bytesPerSector);
    g.mftLcn = ULONGLONG(boot.mftLcn);
    g.mftMirrLcn = ULONGLONG(boot.mftMirrLcn);
    if (g.mftLcn >= readableClusters) {
        *error = QStringLiteral("the MFT lies outside the image");
        return false;
    }
    g.totalClusters = std::min(g.totalClusters, readableClusters);
    g.serialNumber = boot.volumeSerialNumber;
    geometry_ = g;
    return true;
}

bool ZRawNtfsVolume::mount(QString* error)
{
    BYTE sector[Ntfs::kSectorSize];
    if (!image_->readAt(0, sector, sizeof sector)) {
        *error = QStringLiteral("cannot read the boot sector");
        return false;
    }
    if (!parseBootSector(sector, error))
        return false;
    std::lock_guard<std::mutex> g(lock_);
    if (!loadMftLayout(error))
        return false;

    // The volume label, from $Volume's $VOLUME_NAME.
    std::vector<BYTE> rec(geometry_.recordSize);
    if (readRecord(Ntfs::RecordVolume, rec.data()) == StateInUse) {
        ZNtfsAttributeWalk walk(rec.data(), rec.size());
        while (const Ntfs::AttributeHeader* a = walk.next()) {
            if (a->type != Ntfs::AttrVolumeName || a->nonResident)
                continue;
            const ZNtfsBytes v = residentValue(a);
            label_.assign(reinterpret_cast<const char16_t*>(v.data), v.size / sizeof(WCHAR));
            break;
        }
    }
    JournalState journal;
    if (!loadJournal(journal))
        noJournalToken_ = volumeFingerprint();
    return true;
}

bool ZRawNtfsVolume::loadMftLayout(QString* error)
{
    const Geometry& g = geometry_;
    std::vector<BYTE> rec(g.recordSize);
    // $MFT's own record, or its copy at the start of $MFTMirr when torn.
    const auto readMftRecord = [&](ULONGLONG lcn) {
        return lcn < g.totalClusters && readVolume(lcn * g.bytesPerCluster, rec.data(), rec.size())
               && checkFileRecord(rec.data(), rec.size()) == ZNtfsRecordState::InUse;
    };
    if (!readMftRecord(g.mftLcn) && !readMftRecord(g.mftMirrLcn)) {
        *error = QStringLiteral("the MFT's own record is unreadable");
        return false;
    }
    // The base extent of $MFT's $DATA maps the start of the MFT, where its
    // extension records live; read them through it, then map all of it.
    ZNtfsRunList baseRuns;
    LONGLONG validLength = -1;
    LONGLONG dataSize = 0;
    {
        ZNtfsAttributeWalk walk(rec.data(), rec.size());
        while (const Ntfs::AttributeHeader* a = walk.next()) {
            if (a->type != Ntfs::AttrData || !attributeUnnamed(a) || !a->nonResident)
                continue;
            const ZNtfsBytes pairs = mappingPairs(a);
            if (a->u.nonResident.lowestVcn == 0
                && baseRuns.decode(pairs.data, pairs.size, 0, LONGLONG(g.totalClusters))) {
                validLength = a->u.nonResident.initializedSize;
                dataSize = a->u.nonResident.dataSize;
            }
            break;
        }
    }
    if (validLength < 0 || !baseRuns.finish() || baseRuns.empty()) {
        *error = QStringLiteral("the MFT's data runs are unreadable");
        return false;
    }
    mftRuns_ = baseRuns;
    mftValidLength_ = std::min(validLength, dataSize);
    mftRecords_ = std::min<ULONGLONG>(ULONGLONG(mftValidLength_) / g.recordSize,
                                      ULONGLONG(mftRuns_.endVcn()) * g.bytesPerCluster / g.recordSize);
    AttributeData all;
    if (collectAttribute(Ntfs::RecordMft, rec.data(), Ntfs::AttrData, nullptr, 0, all) && !all.resident
        && !all.unsupported && !all.runs.empty()) {
        mftRuns_ = all.runs;
        mftValidLength_ = std::min(all.initializedSize, all.dataSize);
    }
    const ULONGLONG mapped = ULONGLONG(mftRuns_.endVcn()) * g.bytesPerCluster;
    mftRecords_ = std::min<ULONGLONG>(std::min<ULONGLONG>(ULONGLONG(mftValidLength_), mapped) / g.recordSize,
                                      kMaxRecords);
    chunk_ = RecordChunk();
    if (mftRecords_ <= Ntfs::RecordRoot) {
        *error = QStringLiteral("the MFT is too small");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reading.

bool ZRawNtfsVolume::readVolume(ULONGLONG offset, void* buffer, size_t size)
{
    return image_->readAt(offset, buffer, size);
}

bool ZRawNtfsVolume::readAttribute(const AttributeData& attr, ULONGLONG offset, BYTE* buffer, size_t size,
                                   bool unmappedIsZero)
{
    if (attr.resident) {
        if (offset > attr.value.size() || size > attr.value.size() - offset)
            return false;
        std::memcpy(buffer, attr.value.data() + offset, size);
        return true;
    }
    const ULONGLONG valid = ULONGLONG(std::max<LONGLONG>(0, std::min(attr.initializedSize, attr.dataSize)));
    return readRuns(attr.runs, valid, offset, buffer, size, unmappedIsZero);
}

// Bytes [offset, offset + size) of a non-resident value through its runs.
// Holes and bytes at or past the valid length read as zeros; so do unmapped
// clusters when unmappedIsZero, which otherwise fail the read.
bool ZRawNtfsVolume::readRuns(const ZNtfsRunList& runs, ULONGLONG valid, ULONGLONG offset, BYTE* buffer,
                              size_t size, bool unmappedIsZero)
{
    const ULONGLONG cluster = geometry_.bytesPerCluster;
    while (size) {
        const ULONGLONG vcn = offset / cluster;
        const ULONGLONG within = offset % cluster;
        if (vcn > ULONGLONG(std::numeric_limits<LONGLONG>::max()))
            return false;
        const ZNtfsRun* run = runs.find(LONGLONG(vcn));
        size_t piece;
        if (run) {
            const ULONGLONG runBytesLeft = ULONGLONG(run->vcn + run->length - LONGLONG(vcn)) * cluster - within;
            piece = size_t(std::min<ULONGLONG>(size, runBytesLeft));
        } else {
            piece = size_t(std::min<ULONGLONG>(size, cluster - within));
        }
        if (offset >= valid) {
            std::memset(buffer, 0, piece);
        } else if (!run) {
            if (!unmappedIsZero)
                return false;
            std::memset(buffer, 0, piece);
        } else if (run->lcn == ZNtfsRunList::kSparseLcn) {
            std::memset(buffer, 0, piece);
        } else {
            const ULONGLONG at = (ULONGLONG(run->lcn) + (vcn - ULONGLONG(run->vcn))) * cluster + within;
            // Bytes past the valid length read as zeros.
            const size_t stored = size_t(std::min<ULONGLONG>(piece, valid - offset));
            if (!readVolume(at, buffer, stored))
                return false;
            std::memset(buffer + stored, 0, piece - stored);
        }
        buffer += piece;
        offset += piece;
        size -= piece;
    }
    return true;
}

int ZRawNtfsVolume::readRecord(ULONGLONG record, BYTE* buffer)
{
    const size_t size = geometry_.recordSize;
    if (record >= mftRecords_ || !readRuns(mftRuns_, ULONGLONG(mftValidLength_), record * size, buffer, size, false))
        return StateCorrupt;
    return stateCode(checkFileRecord(buffer, size));
}

int ZRawNtfsVolume::cachedRecord(ULONGLONG record, BYTE* buffer)
{
    const RecordChunk& c = chunk_;
    if (c.count && record >= c.first && record - c.first < c.count) {
        const size_t i = size_t(record - c.first);
        std::memcpy(buffer, c.bytes.data() + i * geometry_.recordSize, geometry_.recordSize);
        return c.states[i];
    }
    return readRecord(record, buffer);
}

bool ZRawNtfsVolume::readAttributeList(const BYTE* record, std::vector<BYTE>& list)
{
    ZNtfsAttributeWalk walk(record, geometry_.recordSize);
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        if (a->type != Ntfs::AttrAttributeList)
            continue;
        if (!a->nonResident) {
            const ZNtfsBytes v = residentValue(a);
            list.assign(v.data, v.data + v.size);
            return true;
        }
        AttributeData data;
        const ZNtfsBytes pairs = mappingPairs(a);
        if (a->u.nonResident.lowestVcn != 0 || (a->flags & (kAttrFlagCompressionMask | kAttrFlagEncrypted))
            || !data.runs.decode(pairs.data, pairs.size, 0, LONGLONG(geometry_.totalClusters)) || !data.runs.finish())
            return false;
        data.dataSize = a->u.nonResident.dataSize;
        data.initializedSize = a->u.nonResident.initializedSize;
        if (ULONGLONG(data.dataSize) > kMaxAttributeListBytes)
            return false;
        list.resize(size_t(data.dataSize));
        return readAttribute(data, 0, list.data(), list.size(), false);
    }
    list.clear();
    return true;
}

// Visits the attributes of the extension records named by a base record's
// attribute list: each record once (at most kMaxExtensionRecords), and only
// one in use whose base is this record. `follow` picks the entries whose
// records are read; the walk ends when `more` says so.
void ZRawNtfsVolume::forEachListedAttribute(
    ULONGLONG recordNumber, const std::vector<BYTE>& list,
    const std::function<bool(const Ntfs::AttributeListEntry&, const BYTE*)>& follow,
    const std::function<bool()>& more, const std::function<void(const Ntfs::AttributeHeader*)>& visit)
{
    std::vector<ULONGLONG> visited;
    std::vector<BYTE> ext(geometry_.recordSize);
    for (size_t pos = 0; pos + Ntfs::kAttributeListEntryHeaderSize <= list.size() && more();) {
        Ntfs::AttributeListEntry e;
        std::memcpy(&e, list.data() + pos, Ntfs::kAttributeListEntryHeaderSize);
        if (e.length < Ntfs::kAttributeListEntryHeaderSize || e.length > list.size() - pos)
            break;
        const BYTE* entry = list.data() + pos;
        pos += e.length;
        const ULONGLONG segment = recordNumberOf(e.segmentReference);
        if (segment == recordNumber || !follow(e, entry)
            || std::find(visited.begin(), visited.end(), segment) != visited.end())
            continue;
        if (visited.size() >= kMaxExtensionRecords)
            break;
        visited.push_back(segment);
        if (readRecord(segment, ext.data()) != StateInUse
            || recordNumberOf(recordHeader(ext.data()).baseFileRecord) != recordNumber)
            continue;
        ZNtfsAttributeWalk walk(ext.data(), ext.size());
        while (const Ntfs::AttributeHeader* a = walk.next())
            visit(a);
    }
}

// Gathers every extent of one attribute of a file: those in the base record
// and, through its attribute list, those in extension records.
bool ZRawNtfsVolume::collectAttribute(ULONGLONG recordNumber, const BYTE* record, DWORD type,
                                      const WCHAR* name, size_t nameLength, AttributeData& out)
{
    out = AttributeData();
    const auto matches = [&](const Ntfs::AttributeHeader* a) {
        return a->type == type && attributeNameIs(a, name, nameLength);
    };
    const auto take = [&](const Ntfs::AttributeHeader* a) {
        if (!a->nonResident) {
            if (out.found)
                return;  // one resident value only
            const ZNtfsBytes v = residentValue(a);
            out.found = true;
            out.resident = true;
            out.value.assign(v.data, v.data + v.size);
            out.dataSize = out.initializedSize = LONGLONG(v.size);
            return;
        }
        if (out.resident)
            return;
        const ZNtfsBytes pairs = mappingPairs(a);
        if (a->flags & (kAttrFlagCompressionMask | kAttrFlagEncrypted))
            out.unsupported = true;
        if (!out.runs.decode(pairs.data, pairs.size, a->u.nonResident.lowestVcn, LONGLONG(geometry_.totalClusters)))
            out.unsupported = true;
        if (a->u.nonResident.lowestVcn == 0) {
            out.dataSize = a->u.nonResident.dataSize;
            out.initializedSize = a->u.nonResident.initializedSize;
        }
        out.found = true;
    };

    ZNtfsAttributeWalk walk(record, geometry_.recordSize);
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        if (matches(a))
            take(a);
    }
    std::vector<BYTE> list;
    if (!readAttributeList(record, list))
        return out.found && out.runs.finish();
    forEachListedAttribute(
        recordNumber, list,
        [&](const Ntfs::AttributeListEntry& e, const BYTE* entry) {
            const bool nameFits = size_t(e.nameOffset) + 2 * size_t(e.nameLength) <= e.length;
            return e.type == type && nameFits && e.nameLength == nameLength
                   && (nameLength == 0 || std::memcmp(entry + e.nameOffset, name, nameLength * 2) == 0);
        },
        [] { return true; },
        [&](const Ntfs::AttributeHeader* a) {
            if (matches(a))
                take(a);
        });
    if (!out.runs.finish())
        out.unsupported = true;
    return out.found;
}

// Name, parent, attributes and USN of a base record. A Win32 or POSIX name is
// preferred over a DOS one; names held in extension records count too.
bool ZRawNtfsVolume::summarize(ULONGLONG recordNumber, const BYTE* record, FileSummary& s)
{
    const auto& h = recordHeader(record);
    s = FileSummary();
    s.sequence = h.sequenceNumber;
    s.directory = (h.flags & Ntfs::RecordIsDirectory) != 0;
    bool hasList = false;
    bool haveSi = false;
    int bestRank = -1;
    const auto consider = [&](const Ntfs::AttributeHeader* a) {
        const Ntfs::FileNameAttribute* fn = fileNameValue(a);
        if (!fn || fn->nameLength == 0)
            return;
        const int rank = fn->nameSpace == Ntfs::NameSpaceDos ? 0 : 1;
        if (rank <= bestRank)
            return;
        bestRank = rank;
        s.parent = fn->parentDirectory;
        s.name.assign(reinterpret_cast<const char16_t*>(reinterpret_cast<const BYTE*>(fn) + Ntfs::kFileNameHeaderSize),
                      fn->nameLength);
        s.hasName = true;
    };
    const auto standard = [&](const Ntfs::AttributeHeader* a) {
        const ZNtfsBytes v = residentValue(a);
        if (haveSi || v.size < offsetof(Ntfs::StandardInformation, maxVersions))
            return;
        haveSi = true;
        s.attributes = load<DWORD>(v.data + offsetof(Ntfs::StandardInformation, fileAttributes));
        if (v.size >= kStandardInformationV3) {
            s.securityId = load<DWORD>(v.data + offsetof(Ntfs::StandardInformation, securityId));
            s.usn = load<USN>(v.data + offsetof(Ntfs::StandardInformation, usn));
        }
    };
    ZNtfsAttributeWalk walk(record, geometry_.recordSize);
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        if (a->type == Ntfs::AttrStandardInformation && !a->nonResident)
            standard(a);
        else if (a->type == Ntfs::AttrFileName)
            consider(a);
        else if (a->type == Ntfs::AttrAttributeList)
            hasList = true;
    }
    if (bestRank < 1 && hasList) {
        std::vector<BYTE> list;
        if (readAttributeList(record, list)) {
            forEachListedAttribute(
                recordNumber, list,
                [](const Ntfs::AttributeListEntry& e, const BYTE*) {
                    return e.type == Ntfs::AttrFileName || e.type == Ntfs::AttrStandardInformation;
                },
                [&] { return bestRank < 1; },
                [&](const Ntfs::AttributeHeader* a) {
                    if (a->type == Ntfs::AttrFileName)
                        consider(a);
                    else if (a->type == Ntfs::AttrStandardInformation && !a->nonResident)
                        standard(a);
                });
        }
    }
    // Windows reports the directory bit, which $STANDARD_INFORMATION lacks.
    if (s.directory)
        s.attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return s.hasName;
}

// The record of `name` in a directory, from its $I30 index (root and every
// allocated index block, scanned in full); 0 when absent.
ULONGLONG ZRawNtfsVolume::findInDirectory(ULONGLONG directory, const std::u16string& name)
{
    std::vector<BYTE> rec(geometry_.recordSize);
    if (readRecord(directory, rec.data()) != StateInUse)
        return 0;
    const auto scanEntries = [&](const BYTE* node, size_t nodeSize) -> ULONGLONG {
        // node: an INDEX_HEADER and the bytes after it.
        if (nodeSize < sizeof(IndexNodeHeader))
            return 0;
        IndexNodeHeader ih;
        std::memcpy(&ih, node, sizeof ih);
        const size_t end = std::min<size_t>(ih.indexLength, nodeSize);
        for (size_t pos = ih.entriesOffset; pos + sizeof(Ntfs::IndexEntryHeader) <= end;) {
            Ntfs::IndexEntryHeader e;
            std::memcpy(&e, node + pos, sizeof e);
            if (e.flags & kIndexEntryLast || e.length < sizeof e || e.length > end - pos)
                break;
            if (e.keyLength >= Ntfs::kFileNameHeaderSize && sizeof e + size_t(e.keyLength) <= e.length) {
                const BYTE* key = node + pos + sizeof e;
                const BYTE chars = key[offsetof(Ntfs::FileNameAttribute, nameLength)];
                if (Ntfs::kFileNameHeaderSize + 2 * size_t(chars) <= e.keyLength && chars == name.size()
                    && std::memcmp(key + Ntfs::kFileNameHeaderSize, name.data(), 2 * name.size()) == 0)
                    return recordNumberOf(e.fileReference);
            }
            pos += e.length;
        }
        return 0;
    };
    DWORD blockSize = 0;
    ZNtfsAttributeWalk walk(rec.data(), rec.size());
    while (const Ntfs::AttributeHeader* a = walk.next()) {
        if (a->type != Ntfs::AttrIndexRoot || a->nonResident || !attributeNameIs(a, kI30, 4))
            continue;
        const ZNtfsBytes v = residentValue(a);
        if (v.size < sizeof(Ntfs::IndexRootHeader))
            return 0;
        blockSize = load<DWORD>(v.data + offsetof(Ntfs::IndexRootHeader, indexBlockSize));
        if (const ULONGLONG found = scanEntries(v.data + Ntfs::kIndexRootNodeHeaderOffset,
                                                v.size - Ntfs::kIndexRootNodeHeaderOffset))
            return found;
        break;
    }
    if (!isPowerOfTwo(blockSize) || blockSize < kNtfsFixupStride || blockSize > kMaxRecordSize)
        return 0;
    AttributeData alloc;
    if (!collectAttribute(directory, rec.data(), Ntfs::AttrIndexAllocation, kI30, 4, alloc) || alloc.resident
        || alloc.unsupported)
        return 0;
    const ULONGLONG total = std::min<ULONGLONG>(ULONGLONG(std::max<LONGLONG>(alloc.dataSize, 0)), kMaxIndexBytes);
    std::vector<BYTE> block(blockSize);
    for (ULONGLONG at = 0; at + blockSize <= total; at += blockSize) {
        if (!readAttribute(alloc, at, block.data(), blockSize, true)
            || !applyNtfsFixups(block.data(), blockSize, kIndexSignature))
            continue;
        if (const ULONGLONG found = scanEntries(block.data() + kIndexHeaderOffset, blockSize - kIndexHeaderOffset))
            return found;
    }
    return 0;
}

// The journal's state as the volume holds it now.
bool ZRawNtfsVolume::loadJournal(JournalState& state)
{
    state = JournalState();
    std::vector<BYTE> rec(geometry_.recordSize);
    const auto isJournalRecord = [&](ULONGLONG r) {
        if (!r || readRecord(r, rec.data()) != StateInUse || recordHeader(rec.data()).baseFileRecord != 0)
            return false;
        FileSummary s;
        return summarize(r, rec.data(), s) && recordNumberOf(s.parent) == Ntfs::RecordExtend
               && s.name == u"$UsnJrnl";
    };
    if (!isJournalRecord(journalRecord_)) {
        journalRecord_ = findInDirectory(Ntfs::RecordExtend, u"$UsnJrnl");
        if (!isJournalRecord(journalRecord_)) {
            journalRecord_ = 0;
            return false;
        }
    }
    AttributeData max;
    if (!collectAttribute(journalRecord_, rec.data(), Ntfs::AttrData, kMax, 4, max) || !max.resident
        || max.value.size() < sizeof(UsnJournalMax))
        return false;
    UsnJournalMax m;
    std::memcpy(&m, max.value.data(), sizeof m);
    if (!collectAttribute(journalRecord_, rec.data(), Ntfs::AttrData, kJ, 2, state.stream) || state.stream.unsupported)
        return false;
    const AttributeData& j = state.stream;
    state.id = m.journalId;
    state.maximumSize = m.maximumSize;
    state.allocationDelta = m.allocationDelta;
    state.lowestValidUsn = std::max<USN>(0, m.lowestValidUsn);
    state.nextUsn = std::max<LONGLONG>(0, j.dataSize);
    // The first record sits at the start of the first stored (not sparse) run.
    USN first = state.nextUsn;
    if (j.resident) {
        first = 0;
    } else {
        for (const ZNtfsRun& run : j.runs.runs()) {
            if (run.lcn != ZNtfsRunList::kSparseLcn) {
                const ULONGLONG at = ULONGLONG(run.vcn) * geometry_.bytesPerCluster;
                first = USN(std::min<ULONGLONG>(at, ULONGLONG(state.nextUsn)));
                break;
            }
        }
    }
    state.firstUsn = std::min(std::max(first, state.lowestValidUsn), state.nextUsn);
    state.active = true;
    return true;
}

// A value that changes whenever the volume was written: the header and update
// sequence array of every MFT record (every write of a record, by Windows or
// ntfs-3g, moves its update sequence number) and the log's restart area,
// mixed. Shown as the position of the empty journal of a volume that has none.
ULONGLONG ZRawNtfsVolume::volumeFingerprint()
{
    constexpr ULONGLONG kOffsetBasis = 0xCBF29CE484222325ull;
    ULONGLONG h = kOffsetBasis;
    const size_t recordSize = geometry_.recordSize;
    const size_t headerBytes = std::min(recordSize, sizeof(Ntfs::FileRecordHeader)
                                                        + 2 * (recordSize / kNtfsFixupStride + 1));
    const size_t chunkBytes = std::max(recordSize, kChunkBytes - kChunkBytes % recordSize);
    std::vector<BYTE> buf(chunkBytes);
    const ULONGLONG total = mftRecords_ * geometry_.recordSize;
    for (ULONGLONG at = 0; at < total; at += chunkBytes) {
        const size_t n = size_t(std::min<ULONGLONG>(chunkBytes, total - at));
        if (!readRuns(mftRuns_, ULONGLONG(mftValidLength_), at, buf.data(), n, true))
            break;
        for (size_t i = 0; i + recordSize <= n; i += recordSize)
            h = mix(h, buf.data() + i, headerBytes);
    }
    std::vector<BYTE> rec(geometry_.recordSize);
    AttributeData log;
    if (readRecord(Ntfs::RecordLogFile, rec.data()) == StateInUse
        && collectAttribute(Ntfs::RecordLogFile, rec.data(), Ntfs::AttrData, nullptr, 0, log) && !log.unsupported) {
        std::vector<BYTE> restart(kLogFileRestartBytes);
        if (readAttribute(log, 0, restart.data(), restart.size(), true))
            h = mix(h, restart.data(), restart.size());
    }
    // A positive, record-aligned USN that is never 0.
    return ((h >> 4) & ~ULONGLONG(7)) | 8;
}

ULONGLONG ZRawNtfsVolume::freeClusters()
{
    std::vector<BYTE> rec(geometry_.recordSize);
    AttributeData bitmap;
    if (readRecord(Ntfs::RecordBitmap, rec.data()) != StateInUse
        || !collectAttribute(Ntfs::RecordBitmap, rec.data(), Ntfs::AttrData, nullptr, 0, bitmap) || bitmap.unsupported)
        return 0;
    const ULONGLONG clusters = geometry_.totalClusters;
    const ULONGLONG bytes = std::min<ULONGLONG>({(clusters + 7) / 8, kMaxBitmapBytes,
                                                 ULONGLONG(std::max<LONGLONG>(bitmap.dataSize, 0))});
    std::vector<BYTE> buf(1u << 20);
    ULONGLONG used = 0;
    for (ULONGLONG at = 0; at < bytes; at += buf.size()) {
        const size_t n = size_t(std::min<ULONGLONG>(buf.size(), bytes - at));
        if (!readAttribute(bitmap, at, buf.data(), n, true))
            return 0;
        for (size_t i = 0; i < n; ++i)
            used += ULONGLONG(__builtin_popcount(buf[i]));
    }
    return used < clusters ? clusters - used : 0;
}

// ---------------------------------------------------------------------------
// The device.

bool ZRawNtfsVolume::volumeInformation(VolumeInformation& info)
{
    if (fileSystem_.empty()) {
        SetLastError(ERROR_UNRECOGNIZED_VOLUME);
        return false;
    }
    info = VolumeInformation();
    info.fileSystemName = fileSystem_;
    if (ntfs_) {
        info.label = label_;
        info.serialNumber = DWORD(geometry_.serialNumber);
        info.maxComponentLength = kMaxComponentLength;
        info.fileSystemFlags = kFsCaseSensitiveSearch | kFsCasePreservedNames | kFsUnicodeOnDisk | kFsPersistentAcls
                               | kFsSparseFiles | kFsReadOnlyVolume | kFsSupportsUsnJournal;
    }
    return true;
}

bool ZRawNtfsVolume::open(DWORD)
{
    // Opening for writing is allowed, as on a write-protected disk: the
    // refusal comes with a request that would write.
    return true;
}

BOOL ZRawNtfsVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    if (bytesRead)
        *bytesRead = 0;
    const DWORD sector = ntfs_ ? geometry_.bytesPerSector : Ntfs::kSectorSize;
    if (offset % sector != 0 || size % sector != 0)
        return fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG end = image_->size();
    if (offset >= end || size == 0)
        return TRUE;
    const DWORD n = DWORD(std::min<ULONGLONG>(size, end - offset));
    if (!image_->readAt(offset, buffer, n))
        return fail(ERROR_READ_FAULT);
    if (bytesRead)
        *bytesRead = n;
    return TRUE;
}

void ZRawNtfsVolume::cancelIo()
{
    {
        std::lock_guard<std::mutex> g(waitLock_);
        cancelGeneration_.fetch_add(1);
    }
    waitCv_.notify_all();
}

BOOL ZRawNtfsVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize,
                                     void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    if (!ntfs_)
        return fail(ERROR_INVALID_FUNCTION);
    if ((inSize && !in) || (outSize && !out))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD dummy = 0;
    DWORD* returned = bytesReturned ? bytesReturned : &dummy;
    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        return getVolumeData(out, outSize, returned);
    case FSCTL_QUERY_USN_JOURNAL:
        return queryJournal(out, outSize, returned);
    case FSCTL_ENUM_USN_DATA:
        return enumUsnData(in, inSize, out, outSize, returned);
    case FSCTL_GET_NTFS_FILE_RECORD:
        return getFileRecord(in, inSize, out, outSize, returned);
    case FSCTL_READ_USN_JOURNAL:
        return readJournal(in, inSize, out, outSize, returned);
    case FSCTL_CREATE_USN_JOURNAL:
        return createJournal(in, inSize);
    case FSCTL_DELETE_USN_JOURNAL:
        return deleteJournal(in, inSize);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL ZRawNtfsVolume::getVolumeData(void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (outSize < sizeof(NTFS_VOLUME_DATA_BUFFER))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::lock_guard<std::mutex> g(lock_);
    QString ignored;
    loadMftLayout(&ignored);
    const Geometry& geo = geometry_;
    NTFS_VOLUME_DATA_BUFFER d;
    std::memset(&d, 0, sizeof d);
    d.VolumeSerialNumber.QuadPart = LONGLONG(geo.serialNumber);
    d.NumberSectors.QuadPart = LONGLONG(geo.totalSectors);
    d.TotalClusters.QuadPart = LONGLONG(geo.totalClusters);
    d.FreeClusters.QuadPart = LONGLONG(freeClusters());
    d.BytesPerSector = geo.bytesPerSector;
    d.BytesPerCluster = geo.bytesPerCluster;
    d.BytesPerFileRecordSegment = geo.recordSize;
    d.ClustersPerFileRecordSegment = geo.recordSize / geo.bytesPerCluster;
    d.MftValidDataLength.QuadPart = LONGLONG(mftRecords_ * geo.recordSize);
    d.MftStartLcn.QuadPart = LONGLONG(geo.mftLcn);
    d.Mft2StartLcn.QuadPart = LONGLONG(geo.mftMirrLcn);
    const ZNtfsRun& firstRun = mftRuns_.runs().front();
    d.MftZoneStart.QuadPart = firstRun.lcn;
    d.MftZoneEnd.QuadPart = firstRun.lcn + firstRun.length;
    std::memcpy(out, &d, sizeof d);
    *bytesReturned = sizeof d;
    return TRUE;
}

BOOL ZRawNtfsVolume::queryJournal(void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (outSize < sizeof(USN_JOURNAL_DATA_V0))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::lock_guard<std::mutex> g(lock_);
    QString ignored;
    loadMftLayout(&ignored);
    USN_JOURNAL_DATA_V1 d;
    std::memset(&d, 0, sizeof d);
    JournalState state;
    if (loadJournal(state)) {
        d.UsnJournalID = state.id;
        d.FirstUsn = state.firstUsn;
        d.NextUsn = state.nextUsn;
        d.LowestValidUsn = state.lowestValidUsn;
        d.MaximumSize = state.maximumSize;
        d.AllocationDelta = state.allocationDelta;
    } else {
        // No journal, and none can be written: an empty one positioned at the
        // volume's fingerprint, so a position kept from before a change of
        // the volume is outside it.
        noJournalToken_ = volumeFingerprint();
        d.UsnJournalID = noJournalToken_;
        d.FirstUsn = d.NextUsn = d.LowestValidUsn = USN(noJournalToken_);
    }
    d.MaxUsn = std::numeric_limits<LONGLONG>::max() & ~LONGLONG(0xFFFF);
    d.MinSupportedMajorVersion = kUsnRecordMajorVersion;
    d.MaxSupportedMajorVersion = kUsnRecordMajorVersion;
    const DWORD n = outSize >= sizeof(USN_JOURNAL_DATA_V1) ? sizeof(USN_JOURNAL_DATA_V1) : sizeof(USN_JOURNAL_DATA_V0);
    std::memcpy(out, &d, n);
    *bytesReturned = n;
    return TRUE;
}

BOOL ZRawNtfsVolume::createJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(CREATE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    // The volume always shows a journal (its own, or an empty one), and on a
    // read-only volume its sizes stay as they are: nothing to do.
    return TRUE;
}

BOOL ZRawNtfsVolume::deleteJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(DELETE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    DELETE_USN_JOURNAL_DATA d;
    std::memcpy(&d, in, sizeof d);
    if (d.DeleteFlags & ~DWORD(USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY))
        return fail(ERROR_INVALID_PARAMETER);
    // Waiting for a deletion in progress returns at once (none ever runs);
    // starting one would write.
    if (d.DeleteFlags & USN_DELETE_FLAG_DELETE)
        return fail(ERROR_WRITE_PROTECT);
    return TRUE;
}

BOOL ZRawNtfsVolume::enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    MFT_ENUM_DATA_V1 request;
    if (!readUsnRequest<MFT_ENUM_DATA_V1, MFT_ENUM_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kEnumHeader + kUsnRecordV2Header)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (request.LowUsn > request.HighUsn)
        return fail(ERROR_INVALID_PARAMETER);

    std::lock_guard<std::mutex> g(lock_);
    ULONGLONG r = recordNumberOf(request.StartFileReferenceNumber);
    if (r == 0) {
        QString ignored;
        loadMftLayout(&ignored);
    }
    const bool journalActive = journalRecord_ != 0;
    BYTE* const base = static_cast<BYTE*>(out);
    DWORD pos = kEnumHeader;
    bool anyRecord = false;
    const DWORD recordSize = geometry_.recordSize;
    DWORD scanned = 0;
    FileSummary s;
    bool full = false;
    const DWORD chunkRecords = DWORD(std::max<size_t>(1, kChunkBytes / recordSize));
    for (; r < mftRecords_ && scanned < chunkRecords;) {
        // Read a chunk of records at once; keep it for the record reads that follow.
        RecordChunk& c = chunk_;
        c.first = r;
        c.count = std::min<ULONGLONG>(chunkRecords, mftRecords_ - r);
        c.bytes.resize(size_t(c.count) * recordSize);
        c.states.assign(size_t(c.count), StateCorrupt);
        const bool chunkRead
            = readRuns(mftRuns_, ULONGLONG(mftValidLength_), r * recordSize, c.bytes.data(), c.bytes.size(), false);
        for (ULONGLONG i = 0; i < c.count; ++i) {
            BYTE* rec = c.bytes.data() + size_t(i) * recordSize;
            if (chunkRead)
                c.states[size_t(i)] = BYTE(stateCode(checkFileRecord(rec, recordSize)));
            else
                c.states[size_t(i)] = BYTE(readRecord(r + i, rec));
        }
        ULONGLONG i = 0;
        for (; i < c.count; ++i, ++scanned) {
            const ULONGLONG number = r + i;
            const BYTE* rec = c.bytes.data() + size_t(i) * recordSize;
            // The metadata files 0..15 are not enumerated, as on Windows.
            if (number < Ntfs::RecordFirstUser || c.states[size_t(i)] != StateInUse
                || recordHeader(rec).baseFileRecord != 0 || !summarize(number, rec, s))
                continue;
            const USN usn = journalActive ? s.usn : 0;
            if (usn < request.LowUsn || usn > request.HighUsn)
                continue;
            const DWORD length = Ntfs::usnRecordV2Length(size_t(s.name.size()));
            if (length > outSize - pos) {
                full = true;
                break;
            }
            Ntfs::UsnRecordFields fields;
            fields.fileReference = Ntfs::makeFileReference(number, s.sequence);
            fields.parentReference = s.parent;
            fields.usn = usn;
            fields.securityId = s.securityId;
            fields.attributes = s.attributes;
            fields.name = s.name.data();
            fields.nameLength = size_t(s.name.size());
            Ntfs::writeUsnRecordV2(base + pos, fields);
            pos += length;
            anyRecord = true;
        }
        r += i;
        if (full)
            break;
    }
    if (full && !anyRecord)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!anyRecord && r >= mftRecords_)
        return fail(ERROR_HANDLE_EOF);
    const DWORDLONG next = r;
    std::memcpy(base, &next, sizeof next);
    *bytesReturned = pos;
    return TRUE;
}

BOOL ZRawNtfsVolume::getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (inSize < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER))
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD header = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    if (outSize < header + geometry_.recordSize)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    NTFS_FILE_RECORD_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    std::lock_guard<std::mutex> g(lock_);
    ULONGLONG r = recordNumberOf(ULONGLONG(request.FileReferenceNumber.QuadPart));
    if (r >= mftRecords_) {
        QString ignored;
        loadMftLayout(&ignored);
        if (r >= mftRecords_)
            r = mftRecords_ - 1;
    }
    BYTE* const base = static_cast<BYTE*>(out);
    BYTE* const rec = base + header;
    // A record not in use (or torn) answers with the nearest lower one in use.
    for (;; --r) {
        if (cachedRecord(r, rec) == StateInUse)
            break;
        if (r == 0)
            return fail(ERROR_FILE_CORRUPT);
    }
    NTFS_FILE_RECORD_OUTPUT_BUFFER answer;
    answer.FileReferenceNumber.QuadPart = LONGLONG(Ntfs::makeFileReference(r, recordHeader(rec).sequenceNumber));
    answer.FileRecordLength = geometry_.recordSize;
    std::memcpy(base, &answer, header);
    *bytesReturned = header + geometry_.recordSize;
    return TRUE;
}

// Copies the records of $J from `start` on into out (after its 8-byte next
// USN), as many as fit and at most a bounded scan; *next is where the next
// read goes on.
DWORD ZRawNtfsVolume::copyJournalRecords(const JournalState& state, const READ_USN_JOURNAL_DATA_V1& request,
                                         USN start, BYTE* out, DWORD outSize, USN* next)
{
    DWORD pos = kEnumHeader;
    USN at = start;
    const USN end = state.nextUsn;
    const USN scanLimit = start + USN(kJournalScanPerCall);
    std::vector<BYTE> window;
    USN windowAt = 0;
    const auto bytesAt = [&](USN usn, size_t n) -> const BYTE* {
        if (!window.empty() && usn >= windowAt && ULONGLONG(usn - windowAt) + n <= window.size())
            return window.data() + (usn - windowAt);
        windowAt = usn - usn % kJournalPage;
        const size_t size = size_t(std::min<USN>(USN(kJournalWindow), end - windowAt));
        if (size < ULONGLONG(usn - windowAt) + n)
            return nullptr;
        window.resize(size);
        if (!readAttribute(state.stream, ULONGLONG(windowAt), window.data(), size, true)) {
            window.clear();
            return nullptr;
        }
        return window.data() + (usn - windowAt);
    };
    const auto nextPage = [](USN usn) { return usn - usn % kJournalPage + kJournalPage; };
    while (at < end && at < scanLimit) {
        // Holes of a sparse stream hold no records: skip them whole.
        if (!state.stream.resident) {
            const ZNtfsRun* run = state.stream.runs.find(at / LONGLONG(geometry_.bytesPerCluster));
            if (!run || run->lcn == ZNtfsRunList::kSparseLcn) {
                USN skipTo = end;
                if (run)
                    skipTo = std::min<USN>(end, (run->vcn + run->length) * LONGLONG(geometry_.bytesPerCluster));
                else
                    for (const ZNtfsRun& rr : state.stream.runs.runs())
                        if (rr.vcn * LONGLONG(geometry_.bytesPerCluster) > at) {
                            skipTo = std::min<USN>(end, rr.vcn * LONGLONG(geometry_.bytesPerCluster));
                            break;
                        }
                at = skipTo;
                continue;
            }
        }
        if (at % 8 != 0) {
            at += 8 - at % 8;
            continue;
        }
        const BYTE* h = bytesAt(at, 8);
        if (!h)
            break;
        const DWORD length = load<DWORD>(h);
        if (length == 0) {
            at += 8;  // padding up to the next page
            continue;
        }
        const WORD major = load<WORD>(h + offsetof(USN_RECORD_V2, MajorVersion));
        const BYTE* r = (length >= kUsnRecordV2Header && length <= kMaxUsnRecord && length % 8 == 0
                         && USN(length) <= end - at)
                            ? bytesAt(at, length)
                            : nullptr;
        bool valid = r != nullptr && (major == 2 || major == 3);
        USN_RECORD_V2 v2;
        std::u16string name;
        if (valid && major == 2) {
            std::memcpy(&v2, r, kUsnRecordV2Header);
            valid = v2.FileNameOffset >= kUsnRecordV2Header
                    && DWORD(v2.FileNameOffset) + v2.FileNameLength <= length && v2.FileNameLength % 2 == 0;
            if (valid)
                name.assign(reinterpret_cast<const char16_t*>(r + v2.FileNameOffset), v2.FileNameLength / 2);
        } else if (valid) {
            UsnRecordV3Header v3;
            valid = length >= sizeof v3;
            if (valid) {
                std::memcpy(&v3, r, sizeof v3);
                const ULONGLONG fileHigh = load<ULONGLONG>(v3.FileReferenceNumber + 8);
                const ULONGLONG parentHigh = load<ULONGLONG>(v3.ParentFileReferenceNumber + 8);
                valid = fileHigh == 0 && parentHigh == 0 && v3.FileNameOffset >= sizeof v3
                        && DWORD(v3.FileNameOffset) + v3.FileNameLength <= length && v3.FileNameLength % 2 == 0;
                if (valid) {
                    std::memset(&v2, 0, sizeof v2);
                    v2.FileReferenceNumber = load<ULONGLONG>(v3.FileReferenceNumber);
                    v2.ParentFileReferenceNumber = load<ULONGLONG>(v3.ParentFileReferenceNumber);
                    v2.Usn = v3.Usn;
                    v2.TimeStamp = v3.TimeStamp;
                    v2.Reason = v3.Reason;
                    v2.SourceInfo = v3.SourceInfo;
                    v2.SecurityId = v3.SecurityId;
                    v2.FileAttributes = v3.FileAttributes;
                    v2.FileNameLength = v3.FileNameLength;
                    name.assign(reinterpret_cast<const char16_t*>(r + v3.FileNameOffset), v3.FileNameLength / 2);
                }
            }
        }
        if (!valid) {
            at = nextPage(at);  // a damaged record: go on at the next page
            continue;
        }
        const bool wanted = (v2.Reason & request.ReasonMask)
                            && (!request.ReturnOnlyOnClose || (v2.Reason & USN_REASON_CLOSE));
        if (wanted) {
            const DWORD nameBytes = DWORD(name.size() * sizeof(WCHAR));
            const DWORD outLength = alignUp8(kUsnRecordV2Header + nameBytes);
            if (outLength > outSize - pos)
                break;
            v2.RecordLength = outLength;
            v2.MajorVersion = kUsnRecordMajorVersion;
            v2.MinorVersion = 0;
            v2.FileNameOffset = WORD(kUsnRecordV2Header);
            std::memset(out + pos, 0, outLength);
            std::memcpy(out + pos, &v2, kUsnRecordV2Header);
            std::memcpy(out + pos + kUsnRecordV2Header, name.data(), nameBytes);
            pos += outLength;
        }
        at += length;
    }
    *next = std::min(at, end);
    return pos;
}

BOOL ZRawNtfsVolume::readJournal(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    READ_USN_JOURNAL_DATA_V1 request;
    if (!readUsnRequest<READ_USN_JOURNAL_DATA_V1, READ_USN_JOURNAL_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kEnumHeader)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (request.StartUsn < 0)
        return fail(ERROR_INVALID_PARAMETER);

    const ULONGLONG generation = cancelGeneration_.load();
    ZClock& clk = clock();
    const ULONGLONG startTick = clk.tickMs();
    // Timeout: negative is relative (100 ns units), positive an absolute
    // FILETIME, zero none.
    const LONGLONG timeout = LONGLONG(request.Timeout);
    bool noTimeout = timeout == 0;
    ULONGLONG waitMs = 0;
    if (timeout < 0) {
        waitMs = ULONGLONG(-(timeout + 1)) / kHundredNsPerMs + 1;
    } else if (timeout > 0) {
        const LONGLONG now = clk.now().toMSecsSinceEpoch() * kHundredNsPerMs + kFiletimeUnixEpoch;
        waitMs = timeout > now ? ULONGLONG(timeout - now) / kHundredNsPerMs : 0;
    }

    JournalState state;
    USN start = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            chunk_ = RecordChunk();  // records read after this must be current
            if (!loadJournal(state)) {
                state = JournalState();
                state.id = noJournalToken_;
                state.firstUsn = state.nextUsn = USN(noJournalToken_);
            }
        }
        if (request.UsnJournalID != state.id)
            return fail(ERROR_INVALID_PARAMETER);
        start = request.StartUsn == 0 ? state.firstUsn : request.StartUsn;
        if (start < state.firstUsn)
            return fail(ERROR_JOURNAL_ENTRY_DELETED);
        const ULONGLONG waiting = state.nextUsn > start ? ULONGLONG(state.nextUsn - start) : 0;
        if (request.BytesToWaitFor == 0 || waiting >= request.BytesToWaitFor)
            break;
        const ULONGLONG elapsed = clk.tickMs() - startTick;
        if (!noTimeout && elapsed >= waitMs)
            break;
        const DWORD slice = DWORD(noTimeout ? kJournalPollMs : std::min<ULONGLONG>(kJournalPollMs, waitMs - elapsed));
        std::unique_lock<std::mutex> wait(waitLock_);
        if (clk.waitFor(waitCv_, wait, slice, [&] { return cancelGeneration_.load() != generation; }))
            return fail(ERROR_OPERATION_ABORTED);
    }

    BYTE* const base = static_cast<BYTE*>(out);
    USN next = start;
    DWORD pos = kEnumHeader;
    if (state.active && start < state.nextUsn) {
        std::lock_guard<std::mutex> g(lock_);
        pos = copyJournalRecords(state, request, start, base, outSize, &next);
        if (pos == kEnumHeader && next == start)
            return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(base, &next, sizeof next);
    *bytesReturned = pos;
    return TRUE;
}

} // namespace Platform
