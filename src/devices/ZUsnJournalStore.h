// The bytes of a change journal: USN_RECORD_V2 records back to back, each
// 8-byte aligned, a record's USN being its offset in the journal stream.
// Old records are dropped from the front when the journal outgrows its
// maximum size; FirstUsn moves on with them. Not thread-safe: its owner locks.
#pragma once

#include "ntfs/ZUsnRecordWriter.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Platform {

class ZUsnJournalStore {
public:
    explicit ZUsnJournalStore(USN firstUsn = 0);

    USN firstUsn() const { return firstUsn_; }
    USN nextUsn() const { return nextUsn_; }
    ULONGLONG sizeBytes() const { return ULONGLONG(nextUsn_ - firstUsn_); }

    // The record's fields; append() sets its USN.
    using Entry = Ntfs::UsnRecordFields;
    // Appends one record and returns its USN.
    USN append(const Entry& entry);

    // Drops the oldest records while the journal holds more than
    // maximumSize + allocationDelta bytes, down to maximumSize; the newest
    // record always stays.
    void trim(ULONGLONG maximumSize, ULONGLONG allocationDelta);
    // Forgets every record; the next record is written at `at` (8-byte aligned,
    // not below the current NextUsn).
    void reset(USN at);

    // The first record whose USN is at least usn, or null past the end.
    const USN_RECORD_V2* recordAtOrAfter(USN usn) const;
    // The record after rec, or null.
    const USN_RECORD_V2* nextRecord(const USN_RECORD_V2* rec) const;

    // The size of a record carrying nameLength code units of name.
    static DWORD recordLengthFor(size_t nameLength);

private:
    void compact();

    std::vector<BYTE> bytes_;             // records from bytesUsn_ on
    std::vector<USN> starts_;             // USN of every record in bytes_
    size_t headRecord_ = 0;               // first live entry of starts_
    USN bytesUsn_ = 0;                    // USN of bytes_[0]
    USN firstUsn_ = 0;
    USN nextUsn_ = 0;
};

} // namespace Platform
