#include "ntfs/ZNtfsRecordBuilder.h"

#include <algorithm>
#include <cstring>

namespace Platform {

namespace {
constexpr DWORD kEndMarkerSize = 8;       // type 0xFFFFFFFF and 4 bytes of padding
constexpr DWORD kUsaOffset = sizeof(Ntfs::FileRecordHeader);
constexpr size_t kInstanceOffset = offsetof(Ntfs::AttributeHeader, instance);

// Bytes of a little-endian two's-complement number v needs.
BYTE signedBytes(LONGLONG v)
{
    BYTE n = 1;
    while (n < 8) {
        const LONGLONG lo = -(LONGLONG(1) << (8 * n - 1));
        const LONGLONG hi = (LONGLONG(1) << (8 * n - 1)) - 1;
        if (v >= lo && v <= hi)
            break;
        ++n;
    }
    return n;
}

void putLe(std::vector<BYTE>& out, LONGLONG v, BYTE n)
{
    for (BYTE i = 0; i < n; ++i)
        out.push_back(BYTE(ULONGLONG(v) >> (8 * i)));
}

WORD sectorsOf(DWORD recordSize)
{
    return WORD(recordSize / Ntfs::kSectorSize);
}
} // namespace

size_t ZNtfsRecordBuilder::appendResident(std::vector<BYTE>& out, DWORD type, const WCHAR* name, BYTE nameLength,
                                          const void* value, DWORD valueLength, BYTE residentFlags)
{
    const DWORD nameOffset = Ntfs::kResidentHeaderSize;
    const DWORD valueOffset = align8(nameOffset + nameLength * sizeof(WCHAR));
    const DWORD length = align8(valueOffset + valueLength);
    const size_t at = out.size();
    out.resize(at + length, 0);
    Ntfs::AttributeHeader h{};
    h.type = type;
    h.length = length;
    h.nonResident = 0;
    h.nameLength = nameLength;
    h.nameOffset = WORD(nameLength ? nameOffset : 0);
    h.u.resident.valueLength = valueLength;
    h.u.resident.valueOffset = WORD(valueOffset);
    h.u.resident.residentFlags = residentFlags;
    std::memcpy(out.data() + at, &h, Ntfs::kResidentHeaderSize);
    if (nameLength)
        std::memcpy(out.data() + at + nameOffset, name, nameLength * sizeof(WCHAR));
    if (valueLength && value)
        std::memcpy(out.data() + at + valueOffset, value, valueLength);
    return at;
}

size_t ZNtfsRecordBuilder::appendNonResident(std::vector<BYTE>& out, DWORD type, const WCHAR* name, BYTE nameLength,
                                             const std::vector<Run>& runs, ULONGLONG dataSize, DWORD bytesPerCluster,
                                             ULONGLONG lowestVcn, ULONGLONG totalClusters)
{
    constexpr size_t kMaxPairBytes = 1 + 8 + 8;   // header byte, length, LCN delta
    thread_local std::vector<BYTE> pairs;          // kept between calls: no allocation per attribute
    pairs.clear();
    pairs.reserve(runs.size() * kMaxPairBytes + 1);
    encodeMappingPairs(runs, pairs);
    ULONGLONG clusters = 0;
    for (const Run& r : runs)
        clusters += r.length;
    const DWORD nameOffset = Ntfs::kNonResidentHeaderSize;
    const DWORD pairsOffset = align8(nameOffset + nameLength * sizeof(WCHAR));
    const DWORD length = align8(pairsOffset + DWORD(pairs.size()));
    const size_t at = out.size();
    out.resize(at + length, 0);
    Ntfs::AttributeHeader h{};
    h.type = type;
    h.length = length;
    h.nonResident = 1;
    h.nameLength = nameLength;
    h.nameOffset = WORD(nameLength ? nameOffset : pairsOffset);
    h.u.nonResident.lowestVcn = LONGLONG(lowestVcn);
    h.u.nonResident.highestVcn = LONGLONG(lowestVcn + clusters) - 1;
    h.u.nonResident.mappingPairsOffset = WORD(pairsOffset);
    if (lowestVcn == 0) {
        h.u.nonResident.allocatedSize = LONGLONG(std::max(clusters, totalClusters) * bytesPerCluster);
        h.u.nonResident.dataSize = LONGLONG(dataSize);
        h.u.nonResident.initializedSize = LONGLONG(dataSize);
    }
    std::memcpy(out.data() + at, &h, Ntfs::kNonResidentHeaderSize);
    if (nameLength)
        std::memcpy(out.data() + at + nameOffset, name, nameLength * sizeof(WCHAR));
    std::memcpy(out.data() + at + pairsOffset, pairs.data(), pairs.size());
    return at;
}

void ZNtfsRecordBuilder::encodeMappingPairs(const std::vector<Run>& runs, std::vector<BYTE>& out)
{
    LONGLONG previousLcn = 0;
    for (const Run& r : runs) {
        if (r.length == 0)
            continue;
        const LONGLONG delta = LONGLONG(r.lcn) - previousLcn;
        const BYTE lengthBytes = signedBytes(LONGLONG(r.length));
        const BYTE offsetBytes = signedBytes(delta);
        out.push_back(BYTE(lengthBytes | (offsetBytes << 4)));
        putLe(out, LONGLONG(r.length), lengthBytes);
        putLe(out, delta, offsetBytes);
        previousLcn = LONGLONG(r.lcn);
    }
    out.push_back(0);
}

std::vector<ZNtfsRecordBuilder::Run> ZNtfsRecordBuilder::splitRuns(ULONGLONG lcn, ULONGLONG clusters, DWORD pieces)
{
    std::vector<Run> runs;
    if (clusters == 0)
        return runs;
    if (pieces == 0)
        pieces = 1;
    if (pieces > clusters)
        pieces = DWORD(clusters);
    runs.reserve(pieces);
    const ULONGLONG base = clusters / pieces;
    const ULONGLONG extra = clusters % pieces;
    ULONGLONG at = lcn;
    for (DWORD i = 0; i < pieces; ++i) {
        const ULONGLONG len = base + (i < extra ? 1 : 0);
        runs.push_back({at, len});
        at += len + 1;
    }
    return runs;
}

ULONGLONG ZNtfsRecordBuilder::spanOf(ULONGLONG clusters, DWORD pieces)
{
    if (clusters == 0)
        return 0;
    if (pieces == 0)
        pieces = 1;
    if (pieces > clusters)
        pieces = DWORD(clusters);
    return clusters + pieces - 1;
}

DWORD ZNtfsRecordBuilder::firstAttributeOffset(DWORD recordSize)
{
    return align8(kUsaOffset + (sectorsOf(recordSize) + 1u) * sizeof(WORD));
}

DWORD ZNtfsRecordBuilder::attributeCapacity(DWORD recordSize)
{
    return recordSize - firstAttributeOffset(recordSize) - kEndMarkerSize;
}

DWORD ZNtfsRecordBuilder::beginRecord(BYTE* record, DWORD recordSize, const RecordHeader& in)
{
    Ntfs::FileRecordHeader h{};
    h.signature = Ntfs::kFileRecordSignature;
    h.usaOffset = WORD(kUsaOffset);
    h.usaCount = WORD(sectorsOf(recordSize) + 1);
    h.lsn = in.lsn;
    h.sequenceNumber = in.sequence;
    h.linkCount = in.linkCount;
    h.firstAttributeOffset = WORD(firstAttributeOffset(recordSize));
    h.flags = in.flags;
    h.bytesInUse = 0;
    h.bytesAllocated = recordSize;
    h.baseFileRecord = in.baseReference;
    h.nextAttributeId = 0;
    h.mftRecordNumber = in.recordNumber;
    std::memcpy(record, &h, sizeof h);
    const WORD usn = in.updateSequenceNumber ? in.updateSequenceNumber : 1;
    std::memcpy(record + kUsaOffset, &usn, sizeof usn);
    return h.firstAttributeOffset;
}

DWORD ZNtfsRecordBuilder::placeAttribute(BYTE* record, DWORD offset, const BYTE* attribute, DWORD length, WORD instance)
{
    std::memcpy(record + offset, attribute, length);
    std::memcpy(record + offset + kInstanceOffset, &instance, sizeof instance);
    return offset + length;
}

void ZNtfsRecordBuilder::endRecord(BYTE* record, DWORD recordSize, DWORD offset, WORD nextInstance)
{
    const DWORD end = Ntfs::AttrEnd;
    std::memcpy(record + offset, &end, sizeof end);
    const DWORD bytesInUse = offset + kEndMarkerSize;
    std::memcpy(record + offsetof(Ntfs::FileRecordHeader, bytesInUse), &bytesInUse, sizeof bytesInUse);
    std::memcpy(record + offsetof(Ntfs::FileRecordHeader, nextAttributeId), &nextInstance, sizeof nextInstance);
}

void ZNtfsRecordBuilder::protect(BYTE* record, DWORD recordSize, bool stampSectorEnds)
{
    WORD usn = 0;
    std::memcpy(&usn, record + kUsaOffset, sizeof usn);
    const WORD sectors = sectorsOf(recordSize);
    for (WORD i = 0; i < sectors; ++i) {
        BYTE* end = record + (i + 1u) * Ntfs::kSectorSize - sizeof(WORD);
        std::memcpy(record + kUsaOffset + (i + 1u) * sizeof(WORD), end, sizeof(WORD));
        if (stampSectorEnds)
            std::memcpy(end, &usn, sizeof usn);
    }
}

bool ZNtfsRecordBuilder::unprotect(BYTE* record, DWORD recordSize)
{
    Ntfs::FileRecordHeader h;
    std::memcpy(&h, record, sizeof h);
    const WORD sectors = sectorsOf(recordSize);
    if (h.usaCount != sectors + 1u || h.usaOffset < kUsaOffset
        || DWORD(h.usaOffset) + DWORD(h.usaCount) * sizeof(WORD) > Ntfs::kSectorSize - sizeof(WORD))
        return false;
    WORD usn = 0;
    std::memcpy(&usn, record + h.usaOffset, sizeof usn);
    for (WORD i = 0; i < sectors; ++i) {
        BYTE* end = record + (i + 1u) * Ntfs::kSectorSize - sizeof(WORD);
        WORD stamped = 0;
        std::memcpy(&stamped, end, sizeof stamped);
        if (stamped != usn)
            return false;
        std::memcpy(end, record + h.usaOffset + (i + 1u) * sizeof(WORD), sizeof(WORD));
    }
    return true;
}

} // namespace Platform
