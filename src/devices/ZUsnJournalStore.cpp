#include "devices/ZUsnJournalStore.h"

#include <algorithm>
#include <cstring>

namespace Platform {

namespace {
constexpr size_t kCompactThreshold = 1u << 16;

USN alignUsn(USN usn)
{
    return (usn + (kUsnRecordAlignment - 1)) & ~USN(kUsnRecordAlignment - 1);
}
} // namespace

ZUsnJournalStore::ZUsnJournalStore(USN firstUsn)
{
    reset(firstUsn);
}

DWORD ZUsnJournalStore::recordLengthFor(size_t nameLength)
{
    return Ntfs::usnRecordV2Length(nameLength);
}

USN ZUsnJournalStore::append(const Entry& e)
{
    const DWORD length = recordLengthFor(e.nameLength);
    const size_t at = bytes_.size();
    bytes_.resize(at + length, 0);
    Entry fields = e;
    fields.usn = nextUsn_;
    Ntfs::writeUsnRecordV2(bytes_.data() + at, fields);
    starts_.push_back(nextUsn_);
    const USN usn = nextUsn_;
    nextUsn_ += length;
    return usn;
}

void ZUsnJournalStore::trim(ULONGLONG maximumSize, ULONGLONG allocationDelta)
{
    if (sizeBytes() <= maximumSize + allocationDelta)
        return;
    // Keep at least the newest record.
    while (headRecord_ + 1 < starts_.size() && sizeBytes() > maximumSize) {
        ++headRecord_;
        firstUsn_ = starts_[headRecord_];
    }
    compact();
}

void ZUsnJournalStore::reset(USN at)
{
    const USN start = alignUsn(std::max(at, nextUsn_));
    bytes_.clear();
    starts_.clear();
    headRecord_ = 0;
    bytesUsn_ = firstUsn_ = nextUsn_ = start;
}

void ZUsnJournalStore::compact()
{
    // Erase the dropped front once it is half of what is held: amortised O(1).
    if (headRecord_ == 0 || (headRecord_ * 2 < starts_.size() && bytes_.size() >= kCompactThreshold))
        return;
    const size_t dropBytes = size_t(firstUsn_ - bytesUsn_);
    bytes_.erase(bytes_.begin(), bytes_.begin() + ptrdiff_t(dropBytes));
    starts_.erase(starts_.begin(), starts_.begin() + ptrdiff_t(headRecord_));
    headRecord_ = 0;
    bytesUsn_ = firstUsn_;
}

const USN_RECORD_V2* ZUsnJournalStore::recordAtOrAfter(USN usn) const
{
    auto it = std::lower_bound(starts_.begin() + ptrdiff_t(headRecord_), starts_.end(), usn);
    if (it == starts_.end())
        return nullptr;
    return reinterpret_cast<const USN_RECORD_V2*>(bytes_.data() + size_t(*it - bytesUsn_));
}

const USN_RECORD_V2* ZUsnJournalStore::nextRecord(const USN_RECORD_V2* rec) const
{
    const USN next = rec->Usn + rec->RecordLength;
    if (next >= nextUsn_)
        return nullptr;
    return reinterpret_cast<const USN_RECORD_V2*>(bytes_.data() + size_t(next - bytesUsn_));
}

} // namespace Platform
