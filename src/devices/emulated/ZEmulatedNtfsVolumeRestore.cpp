// ZEmulatedNtfsVolume: a volume as an earlier run left it. Records come back
// under their numbers and sequence numbers and the journal with its id and
// records, none of it journaled: a reader that stopped at some USN of the
// earlier run goes on reading from there.
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"
#include "devices/ZUsnJournalStore.h"

#include <cstring>
#include <functional>

namespace Platform {

using namespace EmulatedNtfsParts;

bool ZEmulatedNtfsVolume::claimRecords(const std::vector<std::pair<DWORD, WORD>>& records)
{
    std::lock_guard<std::mutex> g(lock_);
    DWORD highest = 0;
    for (const auto& [record, sequence] : records) {
        if (record < Ntfs::RecordFirstUser || record >= options_.mftCapacityRecords || sequence == 0
            || recordInUse(record))
            return false;
        highest = std::max(highest, record);
    }
    if (records.empty())
        return true;
    std::vector<bool> named(size_t(highest) + 1, false);
    for (const auto& claim : records) {
        if (named[claim.first])
            return false;
        named[claim.first] = true;
    }
    // New slots up to the highest claimed are free; the heap of free records
    // is made once, after the claims.
    while (slots_.size() <= highest) {
        const DWORD r = DWORD(slots_.size());
        slots_.emplace_back();
        slots_[r].sequence = 1;
        slots_[r].kind = KindFree;
        if (inUseBits_.size() * 64 < slots_.size())
            inUseBits_.push_back(0);
    }
    slots_[Ntfs::RecordMft].dataSize = ULONGLONG(slots_.size()) * options_.bytesPerRecord;
    nameIndex_.reserve(nameIndex_.size() + records.size());   // each claimed record gets a name at least
    for (const auto& [record, sequence] : records) {
        slots_[record] = Slot();
        slots_[record].sequence = sequence;
        slots_[record].kind = KindBase;
        inUseBits_[record / 64] |= 1ull << (record % 64);
    }
    freeRecords_.clear();
    for (DWORD r = Ntfs::RecordFirstUser; r < slots_.size(); ++r)
        if (!recordInUse(r))
            freeRecords_.push_back(r);
    std::make_heap(freeRecords_.begin(), freeRecords_.end(), std::greater<DWORD>());
    return true;
}

DWORD ZEmulatedNtfsVolume::restoreEntry(DWORD record, DWORD parent, const std::u16string& name,
                                        const CreateOptions& options, bool folder)
{
    std::lock_guard<std::mutex> g(lock_);
    // A claimed record is in use, a base record, and has no name yet.
    if (record < Ntfs::RecordFirstUser || !isBase(record) || (slots_[record].flags & FlagHasLink)
        || findExtras(record)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool paused = journalPaused_;
    journalPaused_ = true;
    const DWORD r = createEntry(parent, name, options, folder, record);
    journalPaused_ = paused;
    if (r)
        setOpenReasons(r, 0);   // nothing is open after a restore
    return r;
}

bool ZEmulatedNtfsVolume::seedJournal(DWORDLONG journalId, USN firstUsn, USN nextUsn,
                                      const std::vector<BYTE>& records)
{
    auto store = std::make_unique<ZUsnJournalStore>(firstUsn);
    if (store->firstUsn() != firstUsn)
        return false;   // not 8-byte aligned
    size_t at = 0;
    while (at < records.size()) {
        if (records.size() - at < sizeof(USN_RECORD_V2))
            return false;
        USN_RECORD_V2 head;
        std::memcpy(&head, records.data() + at, sizeof head);
        if (head.RecordLength < Ntfs::kUsnRecordV2NameOffset || head.RecordLength > records.size() - at
            || head.FileNameOffset != Ntfs::kUsnRecordV2NameOffset
            || head.FileNameOffset + size_t(head.FileNameLength) > head.RecordLength || head.FileNameLength % 2
            || head.Usn != store->nextUsn())
            return false;
        std::u16string name(head.FileNameLength / 2, u'\0');
        std::memcpy(&name[0], records.data() + at + head.FileNameOffset, head.FileNameLength);
        ZUsnJournalStore::Entry e;
        e.fileReference = head.FileReferenceNumber;
        e.parentReference = head.ParentFileReferenceNumber;
        e.timeStamp = head.TimeStamp.QuadPart;
        e.reason = head.Reason;
        e.sourceInfo = head.SourceInfo;
        e.securityId = head.SecurityId;
        e.attributes = head.FileAttributes;
        e.name = reinterpret_cast<const WCHAR*>(name.data());
        e.nameLength = name.size();
        if (ZUsnJournalStore::recordLengthFor(name.size()) != head.RecordLength)
            return false;
        store->append(e);
        at += head.RecordLength;
    }
    if (store->nextUsn() != nextUsn)
        return false;
    std::lock_guard<std::mutex> g(lock_);
    journal_ = std::move(store);
    journalId_ = journalId;
    journalActive_ = true;
    journalDeleting_ = false;
    lowestValidUsn_ = firstUsn;
    changed_.notify_all();
    return true;
}

void ZEmulatedNtfsVolume::setJournalObserver(std::function<void(const USN_RECORD_V2*)> observer)
{
    std::lock_guard<std::mutex> g(lock_);
    journalObserver_ = std::move(observer);
}

} // namespace Platform
