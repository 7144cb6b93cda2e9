// Encodes what a ZEmulatedNtfsVolume shows from its record descriptions: a
// FILE record's attributes and their layout over the base and extension
// records (with the $ATTRIBUTE_LIST), the record's bytes, the boot sector
// and any cluster of the volume. Read-only; the volume's lock is held by
// whoever encodes.
#pragma once

#include "devices/emulated/ZEmulatedNtfsVolume.h"

namespace Platform {

class ZEmulatedRecordEncoder {
public:
    explicit ZEmulatedRecordEncoder(const ZEmulatedNtfsVolume& volume) : v_(volume) {}

    // The attributes of record r, $STANDARD_INFORMATION first, then by type.
    void buildAttributes(DWORD record, ZEmulatedNtfsVolume::Layout& layout) const;
    // An upper bound of buildAttributes' bytes, without building them.
    DWORD attributeBytesBound(DWORD record) const;
    bool assignHomes(ZEmulatedNtfsVolume::Layout& layout, DWORD extensionRecords, bool spread) const;
    DWORD listEntrySize(const ZEmulatedNtfsVolume::Layout& layout, size_t blob) const;
    // The attributes of a base record and where each lives.
    bool planLayout(DWORD record, ZEmulatedNtfsVolume::Layout& layout) const;
    // The record's bytes (bytesPerRecord of them) at out: fixups applied, or
    // the on-disk form with the sector ends replaced.
    void encodeInto(DWORD record, BYTE* out, bool onDiskForm) const;
    // One cluster as a raw read sees it (bytesPerCluster bytes).
    void readCluster(ULONGLONG lcn, BYTE* cluster) const;
    void writeBootSector(BYTE* sector) const;

private:
    using AttributeListForm = ZEmulatedNtfsVolume::AttributeListForm;
    using Blob = ZEmulatedNtfsVolume::Blob;
    using Extras = ZEmulatedNtfsVolume::Extras;
    using Layout = ZEmulatedNtfsVolume::Layout;
    using Link = ZEmulatedNtfsVolume::Link;
    using Slot = ZEmulatedNtfsVolume::Slot;
    using Stream = ZEmulatedNtfsVolume::Stream;

    const ZEmulatedNtfsVolume& v_;
};

} // namespace Platform
