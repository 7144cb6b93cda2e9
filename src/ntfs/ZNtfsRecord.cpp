#include "ntfs/ZNtfsRecord.h"

#include "ntfs/ZNtfsFixup.h"

#include <cstring>

namespace Platform {

namespace {

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
    if (!Ntfs::fileRecordHeaderFits(h, size))
        return ZNtfsRecordState::Corrupt;
    return (h.flags & Ntfs::RecordInUse) ? ZNtfsRecordState::InUse : ZNtfsRecordState::Free;
}

ZNtfsAttributeWalk::ZNtfsAttributeWalk(const BYTE* record, size_t size)
    : record_(record), end_(0), pos_(0)
{
    const Ntfs::FileRecordHeader* h = Ntfs::fileRecordHeaderOf(record, size);
    if (!h || !Ntfs::fileRecordHeaderFits(*h, size))
        return;
    end_ = h->bytesInUse;
    pos_ = h->firstAttributeOffset;
}

bool ZNtfsAttributeWalk::wellFormed(const Ntfs::AttributeHeader& a, size_t room)
{
    const size_t length = a.length;
    const size_t headerSize = a.nonResident ? Ntfs::kNonResidentHeaderSize : Ntfs::kResidentHeaderSize;
    if (a.type % Ntfs::kAttributeTypeStep != 0 || a.type > Ntfs::kLastAttributeType || a.nonResident > 1
        || length < headerSize || length % Ntfs::kAttributeAlignment != 0 || length > room)
        return false;
    if (a.nameLength
        && (a.nameOffset < Ntfs::kResidentHeaderSize || size_t(a.nameOffset) + 2 * size_t(a.nameLength) > length))
        return false;
    if (!a.nonResident)
        return Ntfs::residentValueFits(a);
    const auto& n = a.u.nonResident;
    return n.mappingPairsOffset <= length && n.mappingPairsOffset >= Ntfs::kNonResidentHeaderSize
           && n.lowestVcn >= 0 && n.highestVcn >= n.lowestVcn - 1 && n.dataSize >= 0 && n.allocatedSize >= 0
           && n.initializedSize >= 0;
}

const Ntfs::AttributeHeader* ZNtfsAttributeWalk::next()
{
    if (pos_ > end_ || end_ - pos_ < Ntfs::kEndMarkerSize)
        return nullptr;
    DWORD type;
    std::memcpy(&type, record_ + pos_, sizeof type);
    if (type == Ntfs::AttrEnd || end_ - pos_ < Ntfs::kResidentHeaderSize) {
        pos_ = end_;
        return nullptr;
    }
    const auto* attr = reinterpret_cast<const Ntfs::AttributeHeader*>(record_ + pos_);
    if (!wellFormed(*attr, end_ - pos_)) {
        pos_ = end_;
        return nullptr;
    }
    pos_ += attr->length;
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
    if (attr->type != Ntfs::AttrFileName || !Ntfs::residentValueFits(*attr))
        return nullptr;
    const ZNtfsBytes v = residentValue(attr);
    return Ntfs::fileNameIn(v.data, v.size);
}

} // namespace Platform
