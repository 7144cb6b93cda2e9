// Checked views of NTFS FILE records: the record header and a bounded walk
// over its attributes. Every offset and length read from the record is
// checked against the record before use.
#pragma once

#include "ntfs/ntfs_format.h"

#include <cstddef>

namespace Platform {

enum class ZNtfsRecordState {
    InUse,    // valid FILE record with the in-use flag
    Free,     // valid record not in use, or never written (all zero)
    Corrupt,  // bad signature, header or update sequence
};

// Applies the fixups of a FILE record of `size` bytes in place and checks its
// header against that size.
ZNtfsRecordState checkFileRecord(BYTE* record, size_t size);

// A resident attribute's value, or a non-resident attribute's mapping pairs.
struct ZNtfsBytes {
    const BYTE* data = nullptr;
    size_t size = 0;
};

// The one walk over the attributes of a FILE record of `size` bytes whose
// fixups are applied (a record checkFileRecord passed, or one a volume
// device answered with). A record whose header does not fit its size has no
// attributes. Each attribute returned has a known type (a multiple of 16, at
// most kLastAttributeType), its whole header (resident or non-resident), name
// and value or mapping pairs inside the record's used bytes, an 8-byte
// aligned length and sane VCNs and sizes; the walk stops at the end marker or
// at the first attribute that is not so.
class ZNtfsAttributeWalk {
public:
    ZNtfsAttributeWalk(const BYTE* record, size_t size);
    const Ntfs::AttributeHeader* next();

    // The checks next() makes of an attribute with `room` bytes before the
    // end of the record's used bytes.
    static bool wellFormed(const Ntfs::AttributeHeader& attr, size_t room);

private:
    const BYTE* record_;
    size_t end_;
    size_t pos_;
};

const Ntfs::FileRecordHeader& recordHeader(const BYTE* record);

// True when the attribute's name equals `name` (nameLength characters,
// compared code unit by code unit, as NTFS stream names are matched here).
bool attributeNameIs(const Ntfs::AttributeHeader* attr, const WCHAR* name, size_t nameLength);
inline bool attributeUnnamed(const Ntfs::AttributeHeader* attr) { return attr->nameLength == 0; }

ZNtfsBytes residentValue(const Ntfs::AttributeHeader* attr);
ZNtfsBytes mappingPairs(const Ntfs::AttributeHeader* attr);

// A $FILE_NAME value whose name fits in the value; null otherwise.
const Ntfs::FileNameAttribute* fileNameValue(const Ntfs::AttributeHeader* attr);

} // namespace Platform
