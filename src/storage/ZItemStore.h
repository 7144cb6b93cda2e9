// The rules by which the volume code creates, refreshes, replaces and frees
// item records. The orders keep lock-free readers in other processes
// consistent: a reader that sees InUse sees a whole record, and a freed
// record reads as free before its run can be handed out again.
#pragma once

#include "storage/ZLockItem.h"

#include <QString>

namespace SearchEngine {

class ZSharedPool;

// The fields a creator writes besides the name (slotCount and slotIndex
// belong to the piece).
struct ZItemFields {
    DWORD recordNumber = 0;
    DWORD parentRecordNumber = 0;
    DWORD attributes = 0;
    ULONGLONG fileSize = 0;
    ULONGLONG changeTime = 0;
    ULONGLONG accessTime = 0;
    ULONGLONG nameSignature = 0;
    BYTE flags = 0;            // only NoNameTimes and NoData are taken
    DWORD modifyStamp = 0;     // 0 during enumeration, modifyCounter for a journal change
};

// A name converted once for storage: its UTF-8 bytes (at most
// kItemNameBufferSize), the slot count it needs and its signature.
struct ZItemName {
    char utf8[kItemNameBufferSize];
    int length = 0;
    ULONGLONG signature = 0;
    int slotCount() const { return slotsForNameLength(length); }
};
// Converts a UTF-16 name; false when its UTF-8 form exceeds the buffer or
// does not fit one run.
bool makeItemName(const QString& name, ZItemName* out);
bool makeItemName(const WCHAR* name, int length, ZItemName* out);

// Creating: name, then the other fields, then InUse last. False (record
// untouched) when the run is null, live already, or too short for the name.
bool createItem(ZLockItem run, const ZItemFields& fields, const char* utf8Name, int nameLength);
bool createItem(ZLockItem run, const ZItemFields& fields, const ZItemName& name);

// Freeing a live record on a journal deletion: modifyStamp, then flags 0,
// then release(recent true) on the pool.
void freeItem(ZSharedPool& pool, ZLockItem item, DWORD modifyCounter);

// Pruning after a build, before any reader knows the pool: flags 0 and
// release(recent true); modifyStamp stays as it is.
void pruneItem(ZSharedPool& pool, ZLockItem item);

// Replacing a record on a rename: a new run from allocate for the new name,
// identity and name from `fields`/`name`, sizes and times copied from the
// old record, modifyStamp = modifyCounter, then the old flags byte whole;
// then the old record is freed with the same modifyCounter. Returns the new
// record, or null (old record untouched) when no run could be had.
ZLockItem replaceItem(ZSharedPool& pool, ZLockItem old, const ZItemFields& fields,
                      const ZItemName& name, DWORD modifyCounter);

// Refreshing a live record in place on a data change: only fileSize, the
// two times and the NoNameTimes/NoData bits change.
void refreshItem(ZLockItem item, ULONGLONG fileSize, ULONGLONG changeTime, ULONGLONG accessTime,
                 BYTE noNameTimesAndNoData);

} // namespace SearchEngine
