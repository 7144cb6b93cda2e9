// Reading a raw NTFS volume: values through their runs, MFT records (from
// the enumeration's cache when there), the attributes of a file across its
// extension records, a base record's summary and a directory's $I30 index.
#include "devices/raw/ZRawNtfsVolumeParts.h"
#include "ntfs/ZNtfsFixup.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

using namespace RawNtfs;

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
        if (a->u.nonResident.lowestVcn != 0 || (a->flags & kAttrFlagsUnsupported)
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
    for (size_t pos = 0; more();) {
        const Ntfs::AttributeListEntry* listed = Ntfs::attributeListEntryAt(list.data(), list.size(), pos);
        if (!listed)
            break;
        const Ntfs::AttributeListEntry& e = *listed;
        const BYTE* entry = list.data() + pos;
        pos += e.length;
        const ULONGLONG segment = Ntfs::recordNumberOf(e.segmentReference);
        if (segment == recordNumber || !follow(e, entry)
            || std::find(visited.begin(), visited.end(), segment) != visited.end())
            continue;
        if (visited.size() >= kMaxExtensionRecords)
            break;
        visited.push_back(segment);
        if (readRecord(segment, ext.data()) != StateInUse
            || Ntfs::recordNumberOf(recordHeader(ext.data()).baseFileRecord) != recordNumber)
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
        if (a->flags & kAttrFlagsUnsupported)
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
            return e.type == type && Ntfs::attributeListNameFits(e) && e.nameLength == nameLength
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
        if (v.size >= Ntfs::kStandardInformationV3Size) {
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
        if (nodeSize < sizeof(Ntfs::IndexNodeHeader))
            return 0;
        Ntfs::IndexNodeHeader ih;
        std::memcpy(&ih, node, sizeof ih);
        const size_t end = std::min<size_t>(ih.indexLength, nodeSize);
        for (size_t pos = ih.entriesOffset; const Ntfs::IndexEntryHeader* e = Ntfs::indexEntryAt(node, end, pos);
             pos += e->length) {
            const BYTE* key = Ntfs::indexEntryKey(*e);
            const Ntfs::FileNameAttribute* fn = key ? Ntfs::fileNameIn(key, e->keyLength) : nullptr;
            if (fn && fn->nameLength == name.size()
                && std::memcmp(key + Ntfs::kFileNameHeaderSize, name.data(), 2 * name.size()) == 0)
                return Ntfs::recordNumberOf(e->fileReference);
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
            || !applyNtfsFixups(block.data(), blockSize, Ntfs::kIndexSignature))
            continue;
        if (const ULONGLONG found = scanEntries(block.data() + Ntfs::kIndexBlockNodeHeaderOffset,
                                                blockSize - Ntfs::kIndexBlockNodeHeaderOffset))
            return found;
    }
    return 0;
}

} // namespace Platform
