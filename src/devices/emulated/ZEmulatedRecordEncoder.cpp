#include "devices/emulated/ZEmulatedRecordEncoder.h"
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

void ZEmulatedRecordEncoder::buildAttributes(DWORD r, Layout& L) const
{
    const Slot& s = v_.slots_[r];
    const Extras* ex = v_.findExtras(r);
    const DWORD bpc = v_.options_.bytesPerCluster;
    const bool folder = s.flags & FlagDirectory;
    L.blobs.clear();
    L.bytes.clear();
    auto add = [&](size_t at, DWORD type) {
        Blob b;
        b.offset = DWORD(at);
        b.length = DWORD(L.bytes.size() - at);
        b.type = type;
        L.blobs.push_back(b);
    };

    Ntfs::StandardInformation si{};
    si.creationTime = s.times[TimeCreation];
    si.lastWriteTime = s.times[TimeWrite];
    si.changeTime = s.times[TimeChange];
    si.lastAccessTime = s.times[TimeAccess];
    si.fileAttributes = s.attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY);
    si.securityId = kDefaultSecurityId;
    si.usn = ULONGLONG(s.usn);
    add(Builder::appendResident(L.bytes, Ntfs::AttrStandardInformation, nullptr, 0, &si, sizeof si),
        Ntfs::AttrStandardInformation);

    const ULONGLONG dataClusters = s.dataLcn ? clustersFor(s.dataSize, bpc) : 0;
    const ULONGLONG allocated = s.dataLcn ? dataClusters * bpc : Builder::align8(DWORD(std::min<ULONGLONG>(s.dataSize, 0xFFFFFFF0u)));
    BYTE value[Ntfs::kFileNameHeaderSize + kMaxNameLength * sizeof(WCHAR)];
    v_.visitLinks(r, [&](const Link& l) {
        Ntfs::FileNameAttribute fn{};
        fn.parentDirectory = v_.parentReferenceOf(l);
        fn.creationTime = s.times[TimeCreation];
        fn.lastWriteTime = s.times[TimeWrite];
        fn.changeTime = s.times[TimeChange];
        fn.lastAccessTime = s.times[TimeAccess];
        fn.allocatedSize = folder ? 0 : allocated;
        fn.dataSize = folder ? 0 : s.dataSize;
        fn.fileAttributes = (s.attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY)) | (folder ? kDupFileNameIndexPresent : 0);
        fn.nameLength = l.nameLength;
        fn.nameSpace = l.nameSpace;
        std::memcpy(value, &fn, Ntfs::kFileNameHeaderSize);
        char16_t scratch[ZNameArena::kMaxUnits];
        std::memcpy(value + Ntfs::kFileNameHeaderSize, v_.unitsOf(l, scratch), l.nameLength * sizeof(WCHAR));
        add(Builder::appendResident(L.bytes, Ntfs::AttrFileName, nullptr, 0, value,
                                    Ntfs::kFileNameHeaderSize + l.nameLength * sizeof(WCHAR), kResidentIndexed),
            Ntfs::AttrFileName);
        return false;
    });

    auto addData = [&](const WCHAR* name, BYTE nameLength, ULONGLONG size, ULONGLONG lcn, DWORD runs, bool bootArea,
                       DWORD extents) {
        if (lcn || bootArea) {
            const ULONGLONG clusters = clustersFor(size, bpc);
            const std::vector<Builder::Run> pieces = Builder::splitRuns(lcn, clusters, std::max(runs, extents));
            // The runs shared out over the extents, in order.
            const size_t count = std::max<size_t>(1, std::min<size_t>(extents, pieces.size()));
            ULONGLONG vcn = 0;
            for (size_t e = 0, first = 0; e < count; ++e) {
                const size_t last = (e + 1) * pieces.size() / count;
                std::vector<Builder::Run> share;
                if (count > 1)
                    share.assign(pieces.begin() + ptrdiff_t(first), pieces.begin() + ptrdiff_t(last));
                const std::vector<Builder::Run>& part = count > 1 ? share : pieces;
                add(Builder::appendNonResident(L.bytes, Ntfs::AttrData, name, nameLength, part, size, bpc, vcn, clusters),
                    Ntfs::AttrData);
                L.blobs.back().lowestVcn = vcn;
                for (const Builder::Run& run : part)
                    vcn += run.length;
                first = last;
            }
        } else {
            add(Builder::appendResident(L.bytes, Ntfs::AttrData, name, nameLength, nullptr, DWORD(size)), Ntfs::AttrData);
        }
    };
    if (!folder)
        addData(nullptr, 0, s.dataSize, s.dataLcn, ex ? ex->dataRuns : 1, r == Ntfs::RecordBoot && v_.bootDataAtZero_,
                ex ? ex->dataExtents : 1);
    if (ex)
        for (const Stream& st : ex->streams)
            addData(st.name.data(), BYTE(st.name.size()), st.size, st.lcn, 1, false, 1);

    if (folder) {
        BYTE root[sizeof(Ntfs::IndexRootHeader) + sizeof(Ntfs::IndexEntryHeader)] = {};
        Ntfs::IndexRootHeader h{};
        h.indexedAttributeType = Ntfs::AttrFileName;
        h.collationRule = kCollationFileName;
        h.indexBlockSize = kIndexBlockSize;
        h.clustersPerIndexBlock = BYTE(bpc <= kIndexBlockSize ? kIndexBlockSize / bpc : BYTE(log2Code(kIndexBlockSize)));
        h.entriesOffset = sizeof(Ntfs::IndexRootHeader) - Ntfs::kIndexRootNodeHeaderOffset;
        h.indexLength = h.entriesOffset + sizeof(Ntfs::IndexEntryHeader);
        h.allocatedSize = h.indexLength;
        Ntfs::IndexEntryHeader last{};
        last.length = sizeof(Ntfs::IndexEntryHeader);
        last.flags = kIndexEntryLast;
        std::memcpy(root, &h, sizeof h);
        std::memcpy(root + sizeof h, &last, sizeof last);
        add(Builder::appendResident(L.bytes, Ntfs::AttrIndexRoot, kIndexName, kIndexNameLength, root, sizeof root),
            Ntfs::AttrIndexRoot);
    }
}

// An upper bound of the bytes buildAttributes gives a record (mapping pairs
// counted at their largest), without building them.
DWORD ZEmulatedRecordEncoder::attributeBytesBound(DWORD r) const
{
    constexpr DWORD kMaxPairBytes = 1 + 8 + 8;
    const Slot& s = v_.slots_[r];
    const Extras* ex = v_.findExtras(r);
    auto data = [&](DWORD nameLength, ULONGLONG size, ULONGLONG lcn, DWORD runs) -> ULONGLONG {
        if (lcn || (r == Ntfs::RecordBoot && v_.bootDataAtZero_))
            return Builder::align8(Ntfs::kNonResidentHeaderSize + nameLength * sizeof(WCHAR)) + runs * kMaxPairBytes + 8;
        return Builder::align8(Ntfs::kResidentHeaderSize + nameLength * sizeof(WCHAR)) + size + 8;
    };
    ULONGLONG sum = Builder::align8(Ntfs::kResidentHeaderSize + sizeof(Ntfs::StandardInformation));
    v_.visitLinks(r, [&](const Link& l) {
        sum += Builder::align8(Ntfs::kResidentHeaderSize + Ntfs::kFileNameHeaderSize + l.nameLength * sizeof(WCHAR));
        return false;
    });
    if (s.flags & FlagDirectory)
        sum += Builder::align8(Ntfs::kResidentHeaderSize + kIndexNameLength * sizeof(WCHAR))
            + sizeof(Ntfs::IndexRootHeader) + sizeof(Ntfs::IndexEntryHeader);
    else
        sum += data(0, s.dataSize, s.dataLcn, ex ? std::max(ex->dataRuns, ex->dataExtents) : 1)
            * (ex ? ex->dataExtents : 1);
    if (ex)
        for (const Stream& st : ex->streams)
            sum += data(DWORD(st.name.size()), st.size, st.lcn, 1);
    return DWORD(std::min<ULONGLONG>(sum, 0xFFFFFFFFu));
}

// Gives every attribute after $STANDARD_INFORMATION a home among n
// extension records. spread: share them out evenly (a forced list);
// otherwise fill each record before the next. False when they do not fit.
bool ZEmulatedRecordEncoder::assignHomes(Layout& L, DWORD n, bool spread) const
{
    const DWORD capacity = Builder::attributeCapacity(v_.options_.bytesPerRecord);
    const size_t m = L.blobs.size() - 1;
    const size_t quota = spread ? (m + n - 1) / std::max<DWORD>(n, 1) : m;
    L.home.assign(L.blobs.size(), 0);
    DWORD home = 1;
    DWORD used = 0;
    size_t count = 0;
    for (size_t i = 1; i < L.blobs.size(); ++i) {
        const DWORD len = L.blobs[i].length;
        if (len > capacity)
            return false;
        // Each later extent of an attribute opens a record of its own.
        const bool newExtent = L.blobs[i].lowestVcn > 0 && count > 0;
        while (count >= quota || used + len > capacity || (newExtent && home == L.home[i - 1])) {
            ++home;
            used = 0;
            count = 0;
            if (home > n)
                return false;
        }
        L.home[i] = home;
        used += len;
        ++count;
    }
    return true;
}

DWORD ZEmulatedRecordEncoder::listEntrySize(const Layout& L, size_t i) const
{
    const BYTE nameLength = L.bytes[L.blobs[i].offset + offsetof(Ntfs::AttributeHeader, nameLength)];
    return Builder::align8(Ntfs::kAttributeListEntryHeaderSize + nameLength * sizeof(WCHAR));
}

bool ZEmulatedRecordEncoder::planLayout(DWORD r, Layout& L) const
{
    buildAttributes(r, L);
    const Extras* ex = v_.findExtras(r);
    L.list = ex && !ex->extensionRecords.empty();
    L.instance.assign(L.blobs.size(), 0);
    if (!L.list) {
        L.home.assign(L.blobs.size(), 0);
        for (size_t i = 0; i < L.blobs.size(); ++i)
            L.instance[i] = WORD(i);
        return true;
    }
    const bool extents = !(v_.slots_[r].flags & FlagDirectory) && ex->dataExtents > 1 && v_.slots_[r].dataSize > 0;
    const bool ok = assignHomes(L, DWORD(ex->extensionRecords.size()),
                                ex->listForm != AttributeListForm::Automatic || extents);
    std::vector<WORD> next(ex->extensionRecords.size() + 1, 0);
    next[0] = 2;                         // $STANDARD_INFORMATION 0, $ATTRIBUTE_LIST 1
    for (size_t i = 1; i < L.blobs.size(); ++i)
        L.instance[i] = next[L.home[i]]++;

    L.listBytes.clear();
    for (size_t i = 0; i < L.blobs.size(); ++i) {
        const BYTE* attr = L.bytes.data() + L.blobs[i].offset;
        Ntfs::AttributeHeader h;
        std::memcpy(&h, attr, Ntfs::kResidentHeaderSize);
        const DWORD size = listEntrySize(L, i);
        const size_t at = L.listBytes.size();
        L.listBytes.resize(at + size, 0);
        Ntfs::AttributeListEntry e{};
        e.type = h.type;
        e.length = WORD(size);
        e.nameLength = h.nameLength;
        e.nameOffset = Ntfs::kAttributeListEntryHeaderSize;
        e.lowestVcn = L.blobs[i].lowestVcn;
        const DWORD holder = L.home[i] == 0 ? r : ex->extensionRecords[L.home[i] - 1];
        e.segmentReference = v_.referenceOf(holder);
        e.instance = L.instance[i];
        std::memcpy(L.listBytes.data() + at, &e, Ntfs::kAttributeListEntryHeaderSize);
        if (h.nameLength)
            std::memcpy(L.listBytes.data() + at + Ntfs::kAttributeListEntryHeaderSize, attr + h.nameOffset,
                        h.nameLength * sizeof(WCHAR));
    }
    return ok;
}

void ZEmulatedRecordEncoder::encodeInto(DWORD r, BYTE* out, bool onDiskForm) const
{
    const DWORD recordSize = v_.options_.bytesPerRecord;
    std::memset(out, 0, recordSize);
    if (r >= v_.slots_.size())
        return;                          // never used: as freshly formatted space
    const Slot& s = v_.slots_[r];
    Builder::RecordHeader header;
    header.recordNumber = r;
    header.sequence = s.sequence;
    header.lsn = ULONGLONG(s.usn);
    header.updateSequenceNumber = WORD(1 + (ULONGLONG(s.usn / kUsnRecordAlignment) + s.sequence) % 0xFFFEu);
    if (s.kind == KindFree) {
        const DWORD at = Builder::beginRecord(out, recordSize, header);
        Builder::endRecord(out, recordSize, at, 0);
        Builder::protect(out, recordSize, onDiskForm);
        return;
    }
    const DWORD base = s.kind == KindExtension ? s.baseRecord : r;
    const Slot& bs = v_.slots_[base];
    thread_local Layout L;               // kept between records: its buffers are reused, not remade
    planLayout(base, L);
    header.flags = Ntfs::RecordInUse;
    DWORD home = 0;
    if (s.kind == KindBase) {
        if (bs.flags & FlagDirectory)
            header.flags |= Ntfs::RecordIsDirectory;
        WORD links = 0;
        v_.visitLinks(base, [&](const Link& l) {
            links += l.nameSpace != Ntfs::NameSpaceDos;
            return false;
        });
        header.linkCount = links;
    } else {
        header.baseReference = v_.referenceOf(base);
        const Extras* ex = v_.findExtras(base);
        if (ex) {
            auto it = std::find(ex->extensionRecords.begin(), ex->extensionRecords.end(), r);
            if (it != ex->extensionRecords.end())
                home = DWORD(it - ex->extensionRecords.begin()) + 1;
        }
    }
    DWORD at = Builder::beginRecord(out, recordSize, header);
    const DWORD limit = at + Builder::attributeCapacity(recordSize);
    WORD nextInstance = 0;
    auto place = [&](const BYTE* attr, DWORD length, WORD instance) {
        if (at + length > limit)
            return;                      // cannot happen after normalize; never overrun
        at = Builder::placeAttribute(out, at, attr, length, instance);
        nextInstance = std::max<WORD>(nextInstance, WORD(instance + 1));
    };
    if (home == 0 && s.kind == KindBase && L.list) {
        place(L.bytes.data() + L.blobs[0].offset, L.blobs[0].length, 0);
        std::vector<BYTE> list;
        const Extras* ex = v_.findExtras(base);
        if (ex && ex->nonResidentList)
            Builder::appendNonResident(list, Ntfs::AttrAttributeList, nullptr, 0,
                                       Builder::splitRuns(ex->listLcn, ex->listClusters, ex->listRuns),
                                       L.listBytes.size(), v_.options_.bytesPerCluster);
        else
            Builder::appendResident(list, Ntfs::AttrAttributeList, nullptr, 0, L.listBytes.data(),
                                    DWORD(L.listBytes.size()));
        place(list.data(), DWORD(list.size()), 1);
    } else {
        for (size_t i = 0; i < L.blobs.size(); ++i)
            if (L.home[i] == home && (home != 0 || s.kind == KindBase))
                place(L.bytes.data() + L.blobs[i].offset, L.blobs[i].length, L.instance[i]);
    }
    Builder::endRecord(out, recordSize, at, nextInstance);
    Builder::protect(out, recordSize, onDiskForm);
}

void ZEmulatedRecordEncoder::readCluster(ULONGLONG lcn, BYTE* cluster) const
{
    const DWORD bpc = v_.options_.bytesPerCluster;
    const DWORD recordSize = v_.options_.bytesPerRecord;
    std::memset(cluster, 0, bpc);
    if (lcn == 0) {
        writeBootSector(cluster);
        return;
    }
    // Records of the MFT or its mirror that overlap this cluster, in on-disk form.
    auto copyRecords = [&](ULONGLONG regionLcn, ULONGLONG recordLimit) {
        const ULONGLONG regionStart = regionLcn * bpc;
        const ULONGLONG from = lcn * bpc - regionStart;
        std::vector<BYTE> record(recordSize);
        for (ULONGLONG r = from / recordSize; r * recordSize < from + bpc && r < recordLimit; ++r) {
            encodeInto(DWORD(r), record.data(), true);
            const ULONGLONG recStart = r * recordSize;
            const ULONGLONG lo = std::max(recStart, from);
            const ULONGLONG hi = std::min(recStart + recordSize, from + bpc);
            std::memcpy(cluster + (lo - from), record.data() + (lo - recStart), size_t(hi - lo));
        }
    };
    if (lcn >= v_.mftStartLcn_ && lcn < v_.mirrorLcn_) {
        copyRecords(v_.mftStartLcn_, v_.slots_.size());
        return;
    }
    if (lcn >= v_.mirrorLcn_ && lcn < v_.mirrorLcn_ + clustersFor(ULONGLONG(kMftMirrorRecords) * recordSize, bpc)) {
        copyRecords(v_.mirrorLcn_, kMftMirrorRecords);
        return;
    }
    // A cluster of a non-resident attribute list.
    auto it = v_.listRuns_.upper_bound(lcn);
    if (it == v_.listRuns_.begin())
        return;
    --it;
    const DWORD base = it->second;
    const Extras* ex = v_.findExtras(base);
    if (!ex || !ex->nonResidentList || lcn >= ex->listLcn + ex->listCapacity)
        return;
    ULONGLONG vcn = 0;
    for (const Builder::Run& run : Builder::splitRuns(ex->listLcn, ex->listClusters, ex->listRuns)) {
        if (lcn >= run.lcn && lcn < run.lcn + run.length) {
            Layout L;
            planLayout(base, L);
            const ULONGLONG from = (vcn + (lcn - run.lcn)) * bpc;
            if (from < L.listBytes.size())
                std::memcpy(cluster, L.listBytes.data() + from,
                            size_t(std::min<ULONGLONG>(bpc, L.listBytes.size() - from)));
            return;
        }
        vcn += run.length;
    }
}

void ZEmulatedRecordEncoder::writeBootSector(BYTE* sector) const
{
    const DWORD bpc = v_.options_.bytesPerCluster;
    const DWORD sectorsPerCluster = bpc / v_.options_.bytesPerSector;
    Ntfs::BootSector b{};
    std::memcpy(b.jump, kBootJump, sizeof b.jump);
    std::memcpy(b.oemId, "NTFS    ", sizeof b.oemId);
    b.bytesPerSector = WORD(v_.options_.bytesPerSector);
    b.sectorsPerCluster = BYTE(sectorsPerCluster <= 128 ? sectorsPerCluster : BYTE(log2Code(sectorsPerCluster)));
    b.mediaDescriptor = kMediaFixedDisk;
    b.totalSectors = LONGLONG(v_.options_.totalClusters * sectorsPerCluster - 1);
    b.mftLcn = LONGLONG(v_.mftStartLcn_);
    b.mftMirrLcn = LONGLONG(v_.mirrorLcn_);
    const DWORD recordSize = v_.options_.bytesPerRecord;
    b.clustersPerFileRecord = recordSize >= bpc ? static_cast<signed char>(recordSize / bpc) : log2Code(recordSize);
    b.clustersPerIndexBuffer = kIndexBlockSize >= bpc ? static_cast<signed char>(kIndexBlockSize / bpc)
                                                      : log2Code(kIndexBlockSize);
    b.volumeSerialNumber = v_.options_.serialNumber;
    b.endMarker = kBootEndMarker;
    std::memcpy(sector, &b, sizeof b);
}

} // namespace Platform
