// Building a drive's index from the master file table: the USN enumeration
// of every file, the parse of its file records, and the directory tree that
// the pruning after a build walks.
//
// A file record is data from a disk. Its attributes come from the one NTFS
// attribute walk (ntfs/ZNtfsRecord.h), which checks every offset and length
// against the record before a byte behind it is read; what does not fit
// ends the walk of that record. Names and attribute lists are checked again
// against their values here.
#include "volume/ZDriveVolume.h"

#include "ntfs/ZNtfsRecord.h"
#include "ntfs/ZNtfsRunList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace SearchEngine {

namespace {

using Ntfs::AttributeHeader;
using Ntfs::AttributeListEntry;
using Ntfs::FileNameAttribute;
using Ntfs::FileRecordHeader;

// An attribute list larger than this is not one a volume writes.
constexpr ULONGLONG kMaxAttributeListSize = 256 * 1024;
// The most UTF-16 units a $FILE_NAME can hold (its length is one byte).
constexpr int kMaxFileNameUnits = 255;

constexpr DWORD kUsnRecordHeaderSize = offsetof(USN_RECORD_V2, FileName);
constexpr WORD kUsnRecordMajorVersion = 2;
constexpr DWORD kEnumStartSize = sizeof(DWORDLONG); // the next start reference leads the output
// The most records the record map is sized for before a walk: a volume that
// claims a larger table gets a map that grows as the walk finds files.
constexpr ULONGLONG kMaxReservedRecords = 8 * 1024 * 1024;

// The $DATA attribute that carries the file's size: resident, or the extent
// of a non-resident one that starts at VCN 0 (only that extent holds the
// allocated, data and initialised sizes).
bool carriesDataSize(const AttributeHeader* a)
{
    return !a->nonResident || a->u.nonResident.lowestVcn == 0;
}

// An extension record of base record `base`.
bool isExtensionOf(const BYTE* fileRecord, DWORD recordSize, DWORD base)
{
    if (recordSize < sizeof(FileRecordHeader))
        return false;
    FileRecordHeader header;
    std::memcpy(&header, fileRecord, sizeof(header));
    return header.signature == Ntfs::kFileRecordSignature && DWORD(header.baseFileRecord) == base;
}

// Appends the record numbers of the attribute-list entries in [begin,
// begin + size) to list, leaving out base and numbers already in it. An
// entry that does not fit ends the walk.
void collectListEntries(const BYTE* begin, size_t size, DWORD base, QList<DWORD>& list)
{
    size_t pos = 0;
    while (const AttributeListEntry* entry = Ntfs::attributeListEntryAt(begin, size, pos)) {
        const DWORD record = DWORD(entry->segmentReference);
        if (record != base && !list.contains(record))
            list.append(record);
        pos += entry->length;
    }
}

// The records of the volume's master file table, as its size claims, bounded.
size_t mftRecordCount(const NTFS_VOLUME_DATA_BUFFER& data)
{
    if (data.BytesPerFileRecordSegment == 0 || data.MftValidDataLength.QuadPart <= 0)
        return 0;
    const ULONGLONG records = ULONGLONG(data.MftValidDataLength.QuadPart) / data.BytesPerFileRecordSegment;
    return size_t(std::min(records, kMaxReservedRecords));
}

// A USN record that lies, with its name, inside the `available` bytes.
bool usnRecordFits(const USN_RECORD_V2* rec, size_t available)
{
    const DWORD length = rec->RecordLength;
    return length >= kUsnRecordHeaderSize && length <= available
        && DWORD(rec->FileNameOffset) + rec->FileNameLength <= length;
}

} // namespace

int ZDriveVolume::utf8NameOf(const WCHAR* name, int units, char* out)
{
    if (units <= 0)
        return 0;
    // Plain ASCII names (most of them) are their own UTF-8.
    if (units <= int(kItemNameBufferSize) && std::all_of(name, name + units, [](WCHAR c) { return c < 0x80; })) {
        for (int i = 0; i < units; ++i)
            out[i] = char(name[i]);
        return units;
    }
    return WideCharToMultiByte(CP_UTF8, 0, name, units, out, kItemNameBufferSize, nullptr, nullptr);
}

void ZDriveVolume::enumerateMft(const std::function<void(USN_RECORD_V2*)>& consumer)
{
    BYTE* output = static_cast<BYTE*>(std::malloc(kEnumBufferSize));
    if (!output)
        return;
    // The walk files about one name a record: a map sized for them up front
    // is not rebuilt at the end of a large walk, when a rebuild would hold
    // two tables at once. Without the memory the map just grows as it goes.
    recordMap.reserve(mftRecordCount(volumeData));
    MFT_ENUM_DATA_V1 request{};
    request.StartFileReferenceNumber = 0;
    request.LowUsn = 0;
    // Every record, whatever its USN. One changed after the journal's
    // position was taken (a folder renamed meanwhile) is read as it is now;
    // left out, the names below it would be read without their folder and
    // dropped, and the journal brings back only the folder. Its records are
    // then applied to the names as they already stand, which changes nothing.
    request.HighUsn = std::numeric_limits<USN>::max();
    request.MinMajorVersion = kUsnRecordMajorVersion;
    request.MaxMajorVersion = kUsnRecordMajorVersion;
    for (;;) {
        DWORD bytes = 0;
        // The end of the table (ERROR_HANDLE_EOF) and any other failure end the walk alike.
        if (!DeviceIoControl(volumeHandle, FSCTL_ENUM_USN_DATA, &request, sizeof(request), output,
                             kEnumBufferSize, &bytes, nullptr))
            break;
        if (bytes < kEnumStartSize || bytes > kEnumBufferSize)
            break;
        DWORDLONG next = 0;
        std::memcpy(&next, output, sizeof(next));
        size_t pos = kEnumStartSize;
        while (pos < bytes) {
            auto* rec = reinterpret_cast<USN_RECORD_V2*>(output + pos);
            if (bytes - pos < kUsnRecordHeaderSize || !usnRecordFits(rec, bytes - pos))
                break;
            if (rec->MajorVersion == kUsnRecordMajorVersion)
                consumer(rec);
            pos += rec->RecordLength;
        }
        // The next start must move forward, or a confused answer would be
        // asked for again and again.
        if ((next & Ntfs::kRecordNumberMask) <= (request.StartFileReferenceNumber & Ntfs::kRecordNumberMask))
            break;
        request.StartFileReferenceNumber = next;
    }
    std::free(output);
}

void ZDriveVolume::addEnumeratedRecord(USN_RECORD_V2* rec, DirectoryMap& pendingParents,
                                       DirectoryMap& knownDirectories)
{
    if (!growRecordBuffers(1))
        return;
    const DWORD recordNumber = DWORD(rec->FileReferenceNumber);
    // The map slot loads while the record is read and parsed.
    recordMap.prefetch(recordNumber);
    const BYTE* fileRecord = readFileRecord(recordNumber, 0);
    if (!fileRecord)
        return;
    FileRecordParts parts;
    parseFileRecord(recordNumber, fileRecord, parts, true);

    for (const FileNameAttribute* f : qAsConst(parts.names)) {
        const int units = f->nameLength;
        if (units == 0)
            continue;
        // The name sits unaligned in the record: copy it out before use.
        WCHAR name[kMaxFileNameUnits];
        std::memcpy(name, reinterpret_cast<const BYTE*>(f) + Ntfs::kFileNameHeaderSize, units * sizeof(WCHAR));
        char utf8[kItemNameBufferSize];
        const int n = utf8NameOf(name, units, utf8);

        ZLockItem run = pool->append(slotsForNameLength(n));
        if (run.isNull())
            return;
        ItemRecord* item = run.record();
        recordMap.emplace(recordNumber, item);

        item->setName(utf8, n);
        item->attributes = rec->FileAttributes;
        item->recordNumber = recordNumber;
        item->parentRecordNumber = DWORD(f->parentDirectory);
        item->changeTime = f->changeTime;
        item->accessTime = f->lastAccessTime;
        BYTE flags = InUse;
        if (parts.data) {
            item->fileSize = fileSizeOfData(parts.data);
        } else {
            item->fileSize = 0;
            flags |= NoData;
        }
        item->nameSignature = nameSignatureOf(name, units);
        item->modifyStamp = 0;
        // Published last: a reader that sees InUse sees the whole record.
        storeItemFlags(item, flags);

        addDirectoryNode(knownDirectories, pendingParents, item);
    }
}

void ZDriveVolume::parseFileRecord(DWORD recordNumber, const BYTE* fileRecord, FileRecordParts& parts, bool follow)
{
    parts.data = nullptr;
    QList<DWORD> extensionRecords;
    walkAttributes(recordNumber, fileRecord, parts, follow, extensionRecords);
    if (!follow)
        return;
    // Block 0 holds the base record; extension records go to blocks 1, 2, ...
    size_t block = 1;
    for (DWORD extension : qAsConst(extensionRecords)) {
        if (!growRecordBuffers(block + 1))
            break;
        const BYTE* extensionRecord = readFileRecord(extension, block);
        // Only a record that names this file as its base belongs to it.
        if (extensionRecord
            && isExtensionOf(extensionRecord, volumeData.BytesPerFileRecordSegment, recordNumber)) {
            QList<DWORD> ignored;
            walkAttributes(extension, extensionRecord, parts, false, ignored);
        }
        ++block;
    }
}

void ZDriveVolume::walkAttributes(DWORD recordNumber, const BYTE* fileRecord, FileRecordParts& parts,
                                  bool follow, QList<DWORD>& extensionRecords)
{
    if (!fileRecord)
        return;
    // The walk hands out only attributes that lie whole, with their names
    // and values, inside the record's used bytes.
    Platform::ZNtfsAttributeWalk walk(fileRecord, volumeData.BytesPerFileRecordSegment);
    while (const AttributeHeader* a = walk.next()) {
        switch (a->type) {
        case Ntfs::AttrFileName:
            if (const FileNameAttribute* f = Platform::fileNameValue(a)) {
                // POSIX, Win32, and Win32-and-DOS names; a DOS-only name
                // repeats a Win32 name of the same file.
                const BYTE space = f->nameSpace;
                if (space == Ntfs::NameSpacePosix || (space & 1))
                    parts.names.append(f);
            }
            break;
        case Ntfs::AttrData:
            if (!parts.data && a->nameLength == 0 && carriesDataSize(a))
                parts.data = a;
            break;
        case Ntfs::AttrAttributeList:
            if (follow)
                extensionRecords = attributeListRecords(recordNumber, a);
            break;
        default:
            break;
        }
    }
}

QList<DWORD> ZDriveVolume::attributeListRecords(DWORD baseRecord, const Ntfs::AttributeHeader* attribute)
{
    QList<DWORD> records;
    if (!attribute || attribute->length < Ntfs::kAttributeCommonSize)
        return records;
    if (!attribute->nonResident) {
        if (!Ntfs::residentValueFits(*attribute))
            return records;
        collectListEntries(reinterpret_cast<const BYTE*>(attribute) + attribute->u.resident.valueOffset,
                           attribute->u.resident.valueLength, baseRecord, records);
        return records;
    }
    // The list is read whole, across all its runs, so that entries that
    // cross a cluster boundary are read as one.
    std::vector<BYTE> value;
    readNonResidentValue(attribute, value);
    collectListEntries(value.data(), value.size(), baseRecord, records);
    return records;
}

bool ZDriveVolume::readNonResidentValue(const Ntfs::AttributeHeader* attribute, std::vector<BYTE>& out)
{
    out.clear();
    if (attribute->length < Ntfs::kNonResidentHeaderSize || !clusterBuffer || !volumeHandle)
        return false;
    const LONGLONG dataSize = attribute->u.nonResident.dataSize;
    if (dataSize <= 0)
        return true;
    if (ULONGLONG(dataSize) > kMaxAttributeListSize)
        return false;
    const DWORD pairsOffset = attribute->u.nonResident.mappingPairsOffset;
    if (pairsOffset >= attribute->length)
        return false;

    Platform::ZNtfsRunList runs;
    const bool wellFormed = runs.decode(reinterpret_cast<const BYTE*>(attribute) + pairsOffset,
                                        attribute->length - pairsOffset, 0,
                                        volumeData.TotalClusters.QuadPart);
    const DWORD clusterSize = volumeData.BytesPerCluster;
    const LONGLONG clusters = (dataSize - 1) / clusterSize + 1;
    out.reserve(size_t(dataSize));
    for (LONGLONG vcn = 0; vcn < clusters; ++vcn) {
        const size_t take = std::min<size_t>(clusterSize, size_t(dataSize) - out.size());
        const Platform::ZNtfsRun* run = runs.find(vcn);
        if (!run)
            break;
        if (run->lcn == Platform::ZNtfsRunList::kSparseLcn) {
            out.insert(out.end(), take, 0);
            continue;
        }
        const LONGLONG lcn = run->lcn + (vcn - run->vcn);
        if (lcn > std::numeric_limits<LONGLONG>::max() / clusterSize)
            break;
        LARGE_INTEGER position;
        position.QuadPart = lcn * clusterSize;
        DWORD read = 0;
        if (!SetFilePointerEx(volumeHandle, position, nullptr, FILE_BEGIN)
            || !ReadFile(volumeHandle, clusterBuffer, clusterSize, &read, nullptr) || read < take)
            break;
        out.insert(out.end(), clusterBuffer, clusterBuffer + take);
    }
    return wellFormed;
}

void ZDriveVolume::addDirectoryNode(DirectoryMap& knownDirectories, DirectoryMap& pendingParents, ItemRecord* item)
{
    if (!(item->attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    const uint record = item->recordNumber;
    const uint parentRecord = item->parentRecordNumber;

    DirectoryNode* node = pendingParents.take(record);
    if (!node)
        node = new DirectoryNode;
    node->item = item;

    DirectoryNode* parent = knownDirectories.value(parentRecord);
    if (!parent)
        parent = pendingParents.value(parentRecord);
    if (!parent) {
        parent = new DirectoryNode;
        pendingParents.insert(parentRecord, parent);
    }
    node->parent = parent;
    parent->children.append(node);

    knownDirectories.insert(record, node);
}

} // namespace SearchEngine
