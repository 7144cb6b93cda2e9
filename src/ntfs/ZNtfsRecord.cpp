#include "ntfs/ZNtfsRecord.h"

#include "ntfs/ZNtfsFixup.h"

#include <cstring>

namespace Platform {

namespace {

constexpr DWORD kAttributeAlignment = 8;
constexpr size_t kEndMarkerSize = sizeof(DWORD);

bool allZero(const BYTE* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i])
            return false;
    }
    return true;
}

} // namespace

const Ntfs::FileRecordHeader& recordHeader(const BYTE* record)
{
    return *reinterpret_cast<const Ntfs::FileRecordHeader*>(record);
}

ZNtfsRecordState checkFileRecord(BYTE* record, size_t size)
{
    if (size < sizeof(Ntfs::FileRecordHeader))
        return ZNtfsRecordState::Corrupt;
    if (allZero(record, sizeof(Ntfs::FileRecordHeader)))
        return ZNtfsRecordState::Free;
    if (!applyNtfsFixups(record, size, Ntfs::kFileRecordSignature))
        return ZNtfsRecordState::Corrupt;
    const auto& h = recordHeader(record);
    const size_t usaEnd = size_t(h.usaOffset) + 2 * size_t(h.usaCount);
    if (h.bytesAllocated != size || h.bytesInUse > size
        || h.firstAttributeOffset < usaEnd || h.firstAttributeOffset % kAttributeAlignment != 0
        || size_t(h.firstAttributeOffset) + kEndMarkerSize > h.bytesInUse)
        return ZNtfsRecordState::Corrupt;
    return (h.flags & Ntfs::RecordInUse) ? ZNtfsRecordState::InUse : ZNtfsRecordState::Free;
}

ZNtfsAttributeWalk::ZNtfsAttributeWalk(const BYTE* record, size_t size)
    : record_(record), end_(0), pos_(0)
{
    if (size < sizeof(Ntfs::FileRecordHeader))
        return;
    const auto& h = recordHeader(record);
    end_ = h.bytesInUse < size ? h.bytesInUse : size;
    pos_ = h.firstAttributeOffset;
}

const Ntfs::AttributeHeader* ZNtfsAttributeWalk::next()
{
    if (pos_ + kEndMarkerSize > end_)
        return nullptr;
    DWORD type;
    std::memcpy(&type, record_ + pos_, sizeof type);
    if (type == Ntfs::AttrEnd || end_ - pos_ < Ntfs::kResidentHeaderSize) {
        pos_ = end_;
        return nullptr;
    }
    const auto* attr = reinterpret_cast<const Ntfs::AttributeHeader*>(record_ + pos_);
    const size_t length = attr->length;
    const size_t headerSize = attr->nonResident ? Ntfs::kNonResidentHeaderSize : Ntfs::kResidentHeaderSize;
    bool ok = length >= headerSize && length % kAttributeAlignment == 0 && length <= end_ - pos_
              && attr->nonResident <= 1;
    if (ok && attr->nameLength)
        ok = attr->nameOffset >= Ntfs::kResidentHeaderSize
             && size_t(attr->nameOffset) + 2 * size_t(attr->nameLength) <= length;
    if (ok && !attr->nonResident)
        ok = attr->u.resident.valueOffset <= length
             && attr->u.resident.valueLength <= length - attr->u.resident.valueOffset;
    if (ok && attr->nonResident)
        ok = attr->u.nonResident.mappingPairsOffset <= length
             && attr->u.nonResident.mappingPairsOffset >= Ntfs::kNonResidentHeaderSize
             && attr->u.nonResident.lowestVcn >= 0
             && attr->u.nonResident.highestVcn >= attr->u.nonResident.lowestVcn - 1
             && attr->u.nonResident.dataSize >= 0 && attr->u.nonResident.allocatedSize >= 0
             && attr->u.nonResident.initializedSize >= 0;
    if (!ok) {
        pos_ = end_;
        return nullptr;
    }
    pos_ += length;
    return attr;
}

bool attributeNameIs(const Ntfs::AttributeHeader* attr, const WCHAR* name, size_t nameLength)
{
    if (attr->nameLength != nameLength)
        return false;
    return nameLength == 0 || std::memcmp(reinterpret_cast<const BYTE*>(attr) + attr->nameOffset, name,
                       nameLength * sizeof(WCHAR)) == 0;
}

ZNtfsBytes residentValue(const Ntfs::AttributeHeader* attr)
{
    ZNtfsBytes b;
    if (attr->nonResident)
        return b;
    b.data = reinterpret_cast<const BYTE*>(attr) + attr->u.resident.valueOffset;
    b.size = attr->u.resident.valueLength;
    return b;
}

ZNtfsBytes mappingPairs(const Ntfs::AttributeHeader* attr)
{
    ZNtfsBytes b;
    if (!attr->nonResident)
        return b;
    b.data = reinterpret_cast<const BYTE*>(attr) + attr->u.nonResident.mappingPairsOffset;
    b.size = attr->length - attr->u.nonResident.mappingPairsOffset;
    return b;
}

const Ntfs::FileNameAttribute* fileNameValue(const Ntfs::AttributeHeader* attr)
{
    if (attr->type != Ntfs::AttrFileName || attr->nonResident)
        return nullptr;
    const ZNtfsBytes v = residentValue(attr);
    if (v.size < Ntfs::kFileNameHeaderSize)
        return nullptr;
    const auto* fn = reinterpret_cast<const Ntfs::FileNameAttribute*>(v.data);
    if (Ntfs::kFileNameHeaderSize + 2 * size_t(fn->nameLength) > v.size)
        return nullptr;
    return fn;
}

} // namespace Platform
