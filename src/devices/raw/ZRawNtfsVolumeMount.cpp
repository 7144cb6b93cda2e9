// Mounting a raw NTFS volume: the boot sector, $MFT through its own data
// runs, and the facts read from metafiles ($Bitmap's free clusters, the
// fingerprint of a volume without a journal).
#include "devices/raw/ZRawNtfsVolumeParts.h"
#include "ntfs/ZNtfsFixup.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

using namespace RawNtfs;

bool ZRawNtfsVolume::parseBootSector(const BYTE* sector, QString* error)
{
    Ntfs::BootSector boot;
    std::memcpy(&boot, sector, sizeof boot);
    Geometry g;
    g.bytesPerSector = boot.bytesPerSector;
    if (!isPowerOfTwo(g.bytesPerSector) || g.bytesPerSector < kMinSectorSize || g.bytesPerSector > kMaxSectorSize
        || boot.endMarker != Ntfs::kBootEndMarker) {
        *error = QStringLiteral("bad NTFS boot sector");
        return false;
    }
    const ULONGLONG cluster = Ntfs::bootClusterBytes(boot);
    if (!isPowerOfTwo(cluster) || cluster < g.bytesPerSector || cluster > kMaxClusterSize) {
        *error = QStringLiteral("bad cluster size");
        return false;
    }
    g.bytesPerCluster = DWORD(cluster);
    const ULONGLONG record = Ntfs::bootUnitBytes(boot.clustersPerFileRecord, cluster);
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

} // namespace Platform
