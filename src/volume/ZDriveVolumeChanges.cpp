// Change application: keeps a drive's index in step with its change journal,
// one journal record at a time, and decides when the cache file is written.
#include "volume/ZDriveVolume.h"

#include "frame/ZLog.h"
#include "storage/ZItemStore.h"
#include "storage/ZLockItem.h"
#include "storage/ZSharedPool.h"
#include "win32/ZTimeConstants.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace SearchEngine {

namespace {

// A save is considered from this many unsaved changes on...
constexpr int32_t kSaveCheckChanges = 100;
// ...and made when this many are unsaved, or when the last save is this old.
constexpr int32_t kSaveNowChanges = 2000;
constexpr qint64 kSaveIntervalSeconds = Platform::kCacheSaveIntervalSeconds;

constexpr DWORD kDataChangeReasons = USN_REASON_DATA_OVERWRITE | USN_REASON_DATA_EXTEND | USN_REASON_DATA_TRUNCATION;
constexpr DWORD kDesiredStorageClassChange = 0x01000000;

struct ReasonName {
    DWORD bit;
    const char* text;
};

// In the order of the bit values.
const ReasonName kReasonNames[] = {
    {USN_REASON_DATA_OVERWRITE, "USN_REASON_DATA_OVERWRITE"},
    {USN_REASON_DATA_EXTEND, "USN_REASON_DATA_EXTEND"},
    {USN_REASON_DATA_TRUNCATION, "USN_REASON_DATA_TRUNCATION"},
    {USN_REASON_NAMED_DATA_OVERWRITE, "USN_REASON_NAMED_DATA_OVERWRITE"},
    {USN_REASON_NAMED_DATA_EXTEND, "USN_REASON_NAMED_DATA_EXTEND"},
    {USN_REASON_NAMED_DATA_TRUNCATION, "USN_REASON_NAMED_DATA_TRUNCATION"},
    {USN_REASON_FILE_CREATE, "USN_REASON_FILE_CREATE"},
    {USN_REASON_FILE_DELETE, "USN_REASON_FILE_DELETE"},
    {USN_REASON_EA_CHANGE, "USN_REASON_EA_CHANGE"},
    {USN_REASON_SECURITY_CHANGE, "USN_REASON_SECURITY_CHANGE"},
    {USN_REASON_RENAME_OLD_NAME, "USN_REASON_RENAME_OLD_NAME"},
    {USN_REASON_RENAME_NEW_NAME, "USN_REASON_RENAME_NEW_NAME"},
    {USN_REASON_INDEXABLE_CHANGE, "USN_REASON_INDEXABLE_CHANGE"},
    {USN_REASON_BASIC_INFO_CHANGE, "USN_REASON_BASIC_INFO_CHANGE"},
    {USN_REASON_HARD_LINK_CHANGE, "USN_REASON_HARD_LINK_CHANGE"},
    {USN_REASON_COMPRESSION_CHANGE, "USN_REASON_COMPRESSION_CHANGE"},
    {USN_REASON_ENCRYPTION_CHANGE, "USN_REASON_ENCRYPTION_CHANGE"},
    {USN_REASON_OBJECT_ID_CHANGE, "USN_REASON_OBJECT_ID_CHANGE"},
    {USN_REASON_REPARSE_POINT_CHANGE, "USN_REASON_REPARSE_POINT_CHANGE"},
    {USN_REASON_STREAM_CHANGE, "USN_REASON_STREAM_CHANGE"},
    {USN_REASON_TRANSACTED_CHANGE, "USN_REASON_TRANSACTED_CHANGE"},
    {USN_REASON_INTEGRITY_CHANGE, "USN_REASON_INTEGRITY_CHANGE"},
    {kDesiredStorageClassChange, "USN_REASON_DESIRED_STORAGE_CLASS_CHANGE"},
    {USN_REASON_CLOSE, "USN_REASON_CLOSE"},
};

// $FILE_NAME holds its length in one byte.
constexpr int kMaxFileNameUnits = 255;
// Records kept for folders not in the index yet; beyond this many the rest
// are dropped as before.
constexpr size_t kMaxParkedRecords = 1 << 16;
// A file reference: the record number in the low 48 bits, the sequence number above.
constexpr int kSequenceShift = 48;

// The parts of a journal record that the changes use: the name, checked to
// lie inside the record and copied out (FileNameOffset need not keep it
// aligned), and converted as the enumeration converts names.
struct JournalName {
    WCHAR units[kMaxFileNameUnits];
    int unitCount = 0;
    DWORD parent = 0;
    ZItemName item;

    QString text() const { return QString::fromUtf16(units, unitCount); }
};

constexpr DWORD kUsnRecordNameOffset = offsetof(USN_RECORD_V2, FileName);

// What of a record's name a caller needs besides its code units.
enum NameParts { UnitsOnly = 0, WithUtf8 = 1, WithSignature = 2, WithAll = WithUtf8 | WithSignature };

// False for a record whose name does not lie inside its RecordLength or is
// longer than a file name can be.
bool readJournalName(const USN_RECORD_V2* rec, JournalName& out, int parts)
{
    const DWORD offset = rec->FileNameOffset;
    const DWORD length = rec->FileNameLength;
    if (offset < kUsnRecordNameOffset || offset > rec->RecordLength || length > rec->RecordLength - offset
        || length % sizeof(WCHAR) != 0 || length / sizeof(WCHAR) > size_t(kMaxFileNameUnits))
        return false;
    out.unitCount = int(length / sizeof(WCHAR));
    std::memcpy(out.units, reinterpret_cast<const BYTE*>(rec) + offset, length);
    out.parent = DWORD(rec->ParentFileReferenceNumber);
    if (parts & WithUtf8)
        out.item.length = ZDriveVolume::utf8NameOf(out.units, out.unitCount, out.item.utf8);
    if (parts & WithSignature)
        out.item.signature = nameSignatureOf(out.units, out.unitCount);
    return true;
}

// The name of an item by the validity rule, for the log.
QString itemNameText(ZLockItem item)
{
    return QString::fromUtf8(item.name());
}

// Size and times from the file record's matching parts, over the values the
// record has now; `flags` collects the NoNameTimes and NoData bits.
struct FileRecordValues {
    ULONGLONG fileSize = 0;
    ULONGLONG changeTime = 0;
    ULONGLONG accessTime = 0;
    BYTE flags = 0;

    void take(const FileNameMatch& match)
    {
        if (match.name) {
            flags &= BYTE(~NoNameTimes);
            changeTime = match.name->changeTime;
            accessTime = match.name->lastAccessTime;
        } else {
            // The change time stays as it was; readers ignore both times.
            accessTime = 0;
            flags |= NoNameTimes;
        }
        if (match.data) {
            flags &= BYTE(~NoData);
            fileSize = fileSizeOfData(match.data);
        } else {
            fileSize = 0;
            flags |= NoData;
        }
    }
};

// The map entry of one item under its record number, or the end.
RecordMap::iterator findEntry(RecordMap& recordMap, DWORD recordNumber, const ItemRecord* item)
{
    auto range = recordMap.equal_range(recordNumber);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == item)
            return it;
    }
    return recordMap.end();
}

// How an item comes to be added: from a record just read, or from a parked
// one whose folder has come since, which counts only when its name is current.
enum class AddFrom { Journal, Parked };

void addItem(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD recordNumber, const JournalName& name,
             DWORD reasons, RecordMap::iterator& pendingRename, AddFrom from = AddFrom::Journal);

// Counting a change: the counter first, then the unsaved changes.
void countChange(ZDriveVolume& v)
{
    v.m_modifyCounter.fetch_add(1);
    v.unsavedChanges.fetch_add(1);
}

// The file record of a changed file, read into block 0; null when unreadable.
const BYTE* readChangedRecord(ZDriveVolume& v, DWORD recordNumber)
{
    if (v.recordBuffers.empty() && !v.growRecordBuffers(1))
        return nullptr;
    return v.readFileRecord(recordNumber, 0);
}

// Whether a file record still holds the file a journal record speaks of: a
// record number freed and given to a new file moves its sequence number on.
bool sameFile(const USN_RECORD_V2* rec, const BYTE* fileRecord)
{
    const WORD sequence = WORD(rec->FileReferenceNumber >> kSequenceShift);
    Ntfs::FileRecordHeader header;
    std::memcpy(&header, fileRecord, sizeof header);
    return sequence == 0 || header.sequenceNumber == sequence;
}

// A link change names a link that the index holds: true when the file no
// longer has that name, as after the removal of one of several hard links
// (Windows writes no deletion for it).
bool linkIsGone(ZDriveVolume& v, DWORD recordNumber, const USN_RECORD_V2* rec)
{
    // A record that cannot be read any more belongs to a file whose last
    // link went as well.
    const BYTE* fileRecord = readChangedRecord(v, recordNumber);
    return !fileRecord || !v.matchFileName(rec, fileRecord).name;
}

// The $FILE_NAME value of a file's parts that names an item, or null.
const Ntfs::FileNameAttribute* nameOfItem(const FileRecordParts& parts, ZLockItem item)
{
    const QByteArray wanted = item.name();
    for (const Ntfs::FileNameAttribute* f : parts.names) {
        if (DWORD(f->parentDirectory) != item->parentRecordNumber)
            continue;
        WCHAR units[kMaxFileNameUnits];
        const int count = f->nameLength;
        std::memcpy(units, reinterpret_cast<const BYTE*>(f) + Ntfs::kFileNameHeaderSize, size_t(count) * sizeof(WCHAR));
        char utf8[kItemNameBufferSize];
        const int length = ZDriveVolume::utf8NameOf(units, count, utf8);
        if (QByteArray::fromRawData(utf8, length) == wanted)
            return f;
    }
    return nullptr;
}

// Frees the item of one entry and announces it.
void removeEntry(ZDriveVolume& v, RecordMap::iterator it, DWORD reasons, RecordMap::iterator& pendingRename)
{
    const ZLockItem item(it->second);
    if (pendingRename == it)
        pendingRename = v.recordMap.end(); // the half-renamed file is gone
    v.recordMap.erase(it);

    freeItem(*v.pool, item, v.m_modifyCounter.load());
    countChange(v);

    LOG(DEBUG) << v.m_drive << "-Remove:" << itemNameText(item) << ZDriveVolume::reasonText(reasons);
    const ULONGLONG itemRef = item.itemRef();
    const DWORD modifyMask = v.m_modifyCounter.load();
    v.emitUnlessStopped([&] { emit v.itemRemoved(itemRef, modifyMask); });
}

// Frees the items of a file whose names the file no longer has. A link's
// removal is not always seen on its own: while a file stays open its
// records carry the link bit of an earlier change, and a record with no new
// reason but the close is never passed on.
void removeGoneLinks(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons,
                     RecordMap::iterator& pendingRename)
{
    auto range = v.recordMap.equal_range(recordNumber);
    if (range.first == range.second)
        return;
    const BYTE* fileRecord = readChangedRecord(v, recordNumber);
    if (fileRecord && !sameFile(rec, fileRecord))
        fileRecord = nullptr;   // every name of the former file is gone
    FileRecordParts parts;
    if (fileRecord)
        v.parseFileRecord(recordNumber, fileRecord, parts, true);
    std::vector<ItemRecord*> gone;
    for (auto it = range.first; it != range.second; ++it) {
        if (!fileRecord || !nameOfItem(parts, ZLockItem(it->second)))
            gone.push_back(it->second);
    }
    for (ItemRecord* item : gone) {
        const RecordMap::iterator it = findEntry(v.recordMap, recordNumber, item);
        if (it != v.recordMap.end())
            removeEntry(v, it, reasons, pendingRename);
    }
}

// A deletion: the item the record names, and any other of the file's items
// whose name went unseen before it.
void removeItem(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons,
                RecordMap::iterator& pendingRename)
{
    const RecordMap::iterator it = v.findItemForRecord(rec);
    if (it != v.recordMap.end())
        removeEntry(v, it, reasons, pendingRename);
    removeGoneLinks(v, rec, recordNumber, reasons, pendingRename);
}

// The new name of the file whose old name is pending; the new item, or null.
ZLockItem completeRename(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD recordNumber, const JournalName& name,
                         DWORD reasons, RecordMap::iterator& pendingRename)
{
    const ZLockItem old(pendingRename->second);
    if (!old || !old.isLive()) {
        pendingRename = v.recordMap.end();
        return ZLockItem();
    }

    ZItemFields fields;
    fields.recordNumber = recordNumber;
    fields.parentRecordNumber = name.parent;
    fields.attributes = rec->FileAttributes;
    const ZLockItem fresh = replaceItem(*v.pool, old, fields, name.item, v.m_modifyCounter.load());
    if (!fresh)
        return ZLockItem(); // no run to be had: the rename stays pending

    pendingRename->second = fresh.record();
    pendingRename = v.recordMap.end();
    countChange(v);

    LOG(DEBUG) << v.m_drive << "-Rename:" << itemNameText(old) << itemNameText(fresh)
               << ZDriveVolume::reasonText(reasons);
    const ULONGLONG oldRef = old.itemRef();
    const ULONGLONG newRef = fresh.itemRef();
    const DWORD modifyMask = v.m_modifyCounter.load();
    v.emitUnlessStopped([&] { emit v.itemNameChanged(oldRef, newRef, modifyMask); });
    return fresh;
}

void refreshValues(ZLockItem item, const FileNameMatch& match)
{
    FileRecordValues values;
    values.fileSize = item->fileSize;
    values.changeTime = item->changeTime;
    values.accessTime = item->accessTime;
    values.flags = item.flags();
    values.take(match);
    refreshItem(item, values.fileSize, values.changeTime, values.accessTime, values.flags);
}

// The file's hard links (but `except`) show the same data: they take its
// size, and the times of their own names.
void refreshLinks(ZDriveVolume& v, DWORD recordNumber, const BYTE* fileRecord, ZLockItem except)
{
    auto range = v.recordMap.equal_range(recordNumber);
    if (range.first == range.second || (except && std::next(range.first) == range.second))
        return;
    FileRecordParts parts;
    v.parseFileRecord(recordNumber, fileRecord, parts, true);
    for (auto it = range.first; it != range.second; ++it) {
        const ZLockItem link(it->second);
        if (link == except || !link.isLive())
            continue;
        FileNameMatch linkMatch;
        linkMatch.name = nameOfItem(parts, link);
        linkMatch.data = parts.data;
        refreshValues(link, linkMatch);
    }
}

// Whether the file's size is no longer the one its item holds.
bool sizeMoved(ZDriveVolume& v, RecordMap::iterator it, const USN_RECORD_V2* rec)
{
    const BYTE* fileRecord = readChangedRecord(v, it->first);
    const FileNameMatch match = v.matchFileName(rec, fileRecord);
    return match.data && fileSizeOfData(match.data) != it->second->fileSize;
}

// A data change under a name the file no longer has: its items take the news.
void refreshItemsOfFile(ZDriveVolume& v, DWORD recordNumber, const USN_RECORD_V2* rec)
{
    if (v.recordMap.find(recordNumber) == v.recordMap.end())
        return;
    const BYTE* fileRecord = readChangedRecord(v, recordNumber);
    if (!fileRecord || !sameFile(rec, fileRecord))
        return;
    refreshLinks(v, recordNumber, fileRecord, ZLockItem());
    countChange(v);
}

void refreshChangedItem(ZDriveVolume& v, ZLockItem item, DWORD recordNumber, const USN_RECORD_V2* rec)
{
    const BYTE* fileRecord = readChangedRecord(v, recordNumber);
    if (!fileRecord) {
        // Values kept, marked as not to be trusted; not counted.
        refreshItem(item, item->fileSize, item->changeTime, item->accessTime, NoNameTimes | NoData);
        return;
    }
    const FileNameMatch match = v.matchFileName(rec, fileRecord);
    refreshValues(item, match);
    refreshLinks(v, recordNumber, fileRecord, item);
    countChange(v);
}

// Keeps a record whose folder is not in the index, for when it comes.
void parkRecord(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD parent, DWORD reasons)
{
    if (v.parkedRecords.size() >= kMaxParkedRecords)
        return;
    ZDriveVolume::ParkedRecord parked;
    parked.reasons = reasons;
    parked.bytes.resize((rec->RecordLength + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
    std::memcpy(parked.bytes.data(), rec, rec->RecordLength);
    v.parkedRecords.emplace(parent, std::move(parked));
}

// The names parked under a folder whose item was just added.
void addParkedChildren(ZDriveVolume& v, DWORD folder, RecordMap::iterator& pendingRename)
{
    auto range = v.parkedRecords.equal_range(folder);
    if (range.first == range.second)
        return;
    std::vector<ZDriveVolume::ParkedRecord> children;
    for (auto it = range.first; it != range.second; ++it)
        children.push_back(std::move(it->second));
    v.parkedRecords.erase(folder);
    for (const ZDriveVolume::ParkedRecord& child : children) {
        const auto* rec = reinterpret_cast<const USN_RECORD_V2*>(child.bytes.data());
        JournalName name;
        if (readJournalName(rec, name, WithAll) && v.findItemForRecord(rec) == v.recordMap.end())
            addItem(v, rec, DWORD(rec->FileReferenceNumber), name, child.reasons, pendingRename, AddFrom::Parked);
    }
}

void addItem(ZDriveVolume& v, const USN_RECORD_V2* rec, DWORD recordNumber, const JournalName& name,
             DWORD reasons, RecordMap::iterator& pendingRename, AddFrom from)
{
    if (name.parent != Ntfs::RecordRoot) {
        auto parent = v.recordMap.find(name.parent);
        if (parent == v.recordMap.end() || !parent->second
            || !(parent->second->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            LOG(DEBUG) << "can't find parent dictionary!" << name.text();
            parkRecord(v, rec, name.parent, reasons);
            return;
        }
    }

    ZItemFields fields;
    fields.recordNumber = recordNumber;
    fields.parentRecordNumber = name.parent;
    fields.attributes = rec->FileAttributes;
    fields.nameSignature = name.item.signature;
    const BYTE* fileRecord = readChangedRecord(v, recordNumber);
    if (!fileRecord) {
        if (from == AddFrom::Parked)
            return;   // nothing says the name is still there
        fields.flags = NoNameTimes | NoData;
    } else {
        const FileNameMatch match = v.matchFileName(rec, fileRecord);
        // A name the file no longer has (renamed, unlinked or deleted since
        // the record was written) is left to the later record that says so;
        // adding it would leave an item that no later change removes.
        if (!match.name)
            return;
        // A recycled run starts from zero values, not from its former item's.
        FileRecordValues values;
        values.take(match);
        fields.fileSize = values.fileSize;
        fields.changeTime = values.changeTime;
        fields.accessTime = values.accessTime;
        fields.flags = values.flags;
    }

    const ZLockItem run = v.pool->allocate(name.item.slotCount());
    if (!run)
        return;
    fields.modifyStamp = v.m_modifyCounter.load();
    if (!createItem(run, fields, name.item)) {
        v.pool->release(run, true);
        return;
    }

    // An insertion may rehash the map and so move every iterator: find the
    // pending rename's entry again afterwards.
    const bool renamePending = pendingRename != v.recordMap.end();
    const DWORD pendingKey = renamePending ? pendingRename->first : 0;
    ItemRecord* const pendingItem = renamePending ? pendingRename->second : nullptr;
    v.recordMap.emplace(recordNumber, run.record());
    pendingRename = renamePending ? findEntry(v.recordMap, pendingKey, pendingItem) : v.recordMap.end();
    countChange(v);

    LOG(DEBUG) << v.m_drive << "-Add:" << itemNameText(run) << ZDriveVolume::reasonText(reasons);
    const ULONGLONG itemRef = run.itemRef();
    const DWORD modifyMask = v.m_modifyCounter.load();
    v.emitUnlessStopped([&] { emit v.itemAppended(itemRef, modifyMask); });

    // An old name of an unreadable file: its new name may follow.
    if ((reasons & USN_REASON_RENAME_OLD_NAME) && !(reasons & USN_REASON_RENAME_NEW_NAME) && !fileRecord)
        pendingRename = v.findItemForRecord(rec);
    if (fields.attributes & FILE_ATTRIBUTE_DIRECTORY)
        addParkedChildren(v, recordNumber, pendingRename);
}

} // namespace

QString ZDriveVolume::reasonText(DWORD reasons)
{
    QString text;
    for (const ReasonName& reason : kReasonNames) {
        if (reasons & reason.bit) {
            text += QLatin1String(reason.text);
            text += QLatin1Char('|');
        }
    }
    text.chop(text.isEmpty() ? 0 : 1);
    return text;
}

RecordMap::iterator ZDriveVolume::findItemForRecord(const USN_RECORD_V2* rec)
{
    JournalName name;
    if (!readJournalName(rec, name, WithUtf8))
        return recordMap.end();
    auto range = recordMap.equal_range(DWORD(rec->FileReferenceNumber));
    for (auto it = range.first; it != range.second; ++it) {
        ItemRecord* item = it->second;
        // Both names come from the same UTF-16 to UTF-8 conversion, so equal
        // bytes are equal code units.
        if (item && item->parentRecordNumber == name.parent && item->nameLength == name.item.length
            && nameFitsRun(item->nameLength, item->slotCount)
            && std::memcmp(item->nameBytes(), name.item.utf8, size_t(name.item.length)) == 0)
            return it;
    }
    return recordMap.end();
}

FileNameMatch ZDriveVolume::matchFileName(const USN_RECORD_V2* rec, const BYTE* fileRecord)
{
    JournalName name;
    if (!fileRecord || !sameFile(rec, fileRecord) || !readJournalName(rec, name, UnitsOnly))
        return FileNameMatch();
    FileRecordParts parts;
    parseFileRecord(DWORD(rec->FileReferenceNumber), fileRecord, parts, true);
    // The data belongs to the file, not to one of its names: it is given
    // even when no name matches (a name renamed or unlinked since the
    // record was written), so the size stays right.
    FileNameMatch match;
    match.data = parts.data;
    // The parent is compared with its sequence number: a folder removed since
    // the record was written may have come back under the same number, and a
    // name in it is not the name the record speaks of.
    const DWORDLONG parent = rec->ParentFileReferenceNumber;
    for (const Ntfs::FileNameAttribute* f : parts.names) {
        if (DWORDLONG(f->parentDirectory) == parent && f->nameLength == name.unitCount
            && std::memcmp(reinterpret_cast<const BYTE*>(f) + Ntfs::kFileNameHeaderSize, name.units,
                           size_t(name.unitCount) * sizeof(WCHAR)) == 0) {
            match.name = f;
            break;
        }
    }
    return match;
}

void ZDriveVolume::applyUsnChange(USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons,
                                  RecordMap::iterator& pendingRename, QDateTime& lastSaveTime)
{
    JournalName name;
    if (!rec || !readJournalName(rec, name, WithAll))
        return; // a malformed record changes nothing

    // Save check. The record at hand is applied after the save, so a restart
    // from that file reads it again. Not with a rename half applied or names
    // waiting for their folder: those live only here, and a start from a file
    // saved past them would never read them again.
    if (unsavedChanges.load() >= kSaveCheckChanges && pendingRename == recordMap.end() && parkedRecords.empty()) {
        const QDateTime now = Platform::clock().now();
        if (unsavedChanges.load() >= kSaveNowChanges || lastSaveTime.secsTo(now) >= kSaveIntervalSeconds) {
            lastSaveTime = now;
            saveAppliedChanges(rec->Usn);
        }
    }

    if (reasons & USN_REASON_FILE_DELETE) {
        removeItem(*this, rec, recordNumber, reasons, pendingRename);
        parkedRecords.erase(recordNumber);   // a folder gone takes its waiting names along
        return;
    }
    if (reasons & USN_REASON_RENAME_NEW_NAME) {
        if (pendingRename != recordMap.end() && pendingRename->first == recordNumber) {
            const ZLockItem renamed = completeRename(*this, rec, recordNumber, name, reasons, pendingRename);
            // Data bits that pile up while the file stays open come back with
            // the new name; the copied size may be behind them.
            if (renamed && (reasons & kDataChangeReasons))
                refreshChangedItem(*this, renamed, recordNumber, rec);
            return;
        }
        // The old name seen last belongs to another file: that rename cannot
        // be completed, and filing this file's new item under the other
        // file's number would hide it from every later change.
        pendingRename = recordMap.end();
    }

    // Reasons pile up while a file stays open, so a record may carry rename
    // or link bits of earlier changes; what the file's names are now decides
    // what a name of the record means.
    const RecordMap::iterator it = findItemForRecord(rec);
    if (it == recordMap.end()) {
        addItem(*this, rec, recordNumber, name, reasons, pendingRename);
        if (reasons & kDataChangeReasons)
            refreshItemsOfFile(*this, recordNumber, rec);
        return;
    }
    if ((it->second->attributes ^ rec->FileAttributes) & FILE_ATTRIBUTE_DIRECTORY) {
        // A former file's item under the same number and name, its end unseen.
        removeEntry(*this, it, reasons, pendingRename);
        addItem(*this, rec, recordNumber, name, reasons, pendingRename);
        return;
    }
    if ((reasons & USN_REASON_RENAME_OLD_NAME) && linkIsGone(*this, recordNumber, rec))
        pendingRename = it;
    else if ((reasons & USN_REASON_HARD_LINK_CHANGE) && linkIsGone(*this, recordNumber, rec)) {
        removeItem(*this, rec, recordNumber, reasons, pendingRename);
        // The close of a dropped link may carry the file's last writes: its
        // other names get them, as no later record will bring them.
        if (reasons & kDataChangeReasons)
            refreshItemsOfFile(*this, recordNumber, rec);
    } else if ((reasons & kDataChangeReasons) || ((reasons & USN_REASON_RENAME_NEW_NAME) && sizeMoved(*this, it, rec)))
        // A name coming back may have missed changes made under another one.
        refreshChangedItem(*this, ZLockItem(it->second), recordNumber, rec);
}

} // namespace SearchEngine
