// A handle to one run in a shared piece: a pointer to its ItemRecord, or
// null when no run was given. Passed and returned by value.
#pragma once

#include "storage/ZItemRecord.h"

#include <QByteArray>

namespace SearchEngine {

class ZLockItem {
public:
    ZLockItem() = default;
    explicit ZLockItem(ItemRecord* record) : record_(record) {}

    bool isNull() const { return record_ == nullptr; }
    explicit operator bool() const { return record_ != nullptr; }
    ItemRecord* record() const { return record_; }
    ItemRecord* operator->() const { return record_; }
    bool operator==(const ZLockItem& o) const { return record_ == o.record_; }
    bool operator!=(const ZLockItem& o) const { return record_ != o.record_; }

    // flags with acquire order; bit InUse set means a complete live record.
    BYTE flags() const { return loadItemFlags(record_); }
    bool isLive() const { return (flags() & InUse) != 0; }
    int slotCount() const { return record_->slotCount; }

    // The name by the validity rule (empty when it does not fit the run).
    QByteArray name() const;
    // The piece header, found from the record alone: slot 0 lies
    // 32 * slotIndex bytes before the record, the header 32 bytes before that.
    PieceHeader* pieceHeader() const;
    // itemRef of the record, computed from the record and its piece header.
    ULONGLONG itemRef() const;

private:
    ItemRecord* record_ = nullptr;
};

} // namespace SearchEngine
