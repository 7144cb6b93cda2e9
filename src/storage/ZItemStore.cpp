#include "storage/ZItemStore.h"

#include "storage/ZSharedPool.h"

#include <atomic>
#include <cstring>

namespace SearchEngine {

namespace {
constexpr BYTE kDescriptiveFlags = NoNameTimes | NoData;

void writeFields(ItemRecord* r, const ZItemFields& f)
{
    r->recordNumber = f.recordNumber;
    r->parentRecordNumber = f.parentRecordNumber;
    r->attributes = f.attributes;
    r->fileSize = f.fileSize;
    r->changeTime = f.changeTime;
    r->accessTime = f.accessTime;
    r->nameSignature = f.nameSignature;
    r->modifyStamp = f.modifyStamp;
}
} // namespace

bool makeItemName(const QString& name, ZItemName* out)
{
    return makeItemName(reinterpret_cast<const WCHAR*>(name.utf16()), name.size(), out);
}

bool makeItemName(const WCHAR* name, int length, ZItemName* out)
{
    out->length = 0;
    out->signature = 0;
    if (length < 0)
        return false;
    const QByteArray utf8 = QString::fromRawData(reinterpret_cast<const QChar*>(name), length).toUtf8();
    if (utf8.size() > kItemNameBufferSize || slotsForNameLength(utf8.size()) > kMaxRunSlots)
        return false;
    std::memcpy(out->utf8, utf8.constData(), size_t(utf8.size()));
    out->length = utf8.size();
    out->signature = nameSignatureOf(name, length);
    return true;
}

bool createItem(ZLockItem run, const ZItemFields& fields, const char* utf8Name, int nameLength)
{
    if (!run || run.isLive() || nameLength < 0 || !nameFitsRun(nameLength, run.slotCount()))
        return false;
    ItemRecord* r = run.record();
    // 1. The name.
    r->setName(utf8Name, nameLength);
    // Keeps the name ahead of the stamp, so a reader that checks the stamp
    // around its copy never pairs a new stamp with an old name.
    std::atomic_thread_fence(std::memory_order_release);
    // 2. The other fields.
    writeFields(r, fields);
    // 3. InUse last.
    storeItemFlags(r, BYTE(InUse | (fields.flags & kDescriptiveFlags)));
    return true;
}

bool createItem(ZLockItem run, const ZItemFields& fields, const ZItemName& name)
{
    return createItem(run, fields, name.utf8, name.length);
}

void freeItem(ZSharedPool& pool, ZLockItem item, DWORD modifyCounter)
{
    if (!item || !item.isLive())
        return;
    item->modifyStamp = modifyCounter;
    storeItemFlags(item.record(), 0);
    pool.release(item, true);
}

void pruneItem(ZSharedPool& pool, ZLockItem item)
{
    if (!item || !item.isLive())
        return;
    storeItemFlags(item.record(), 0);
    pool.release(item, true);
}

ZLockItem replaceItem(ZSharedPool& pool, ZLockItem old, const ZItemFields& fields,
                      const ZItemName& name, DWORD modifyCounter)
{
    if (!old || !old.isLive())
        return ZLockItem();
    ZLockItem fresh = pool.allocate(name.slotCount());
    if (!fresh)
        return ZLockItem();
    ItemRecord* r = fresh.record();
    const ItemRecord* o = old.record();
    if (!nameFitsRun(name.length, fresh.slotCount())) {
        pool.release(fresh, true);
        return ZLockItem();
    }
    r->setName(name.utf8, name.length);
    std::atomic_thread_fence(std::memory_order_release);
    r->recordNumber = fields.recordNumber;
    r->parentRecordNumber = fields.parentRecordNumber;
    r->attributes = fields.attributes;
    r->nameSignature = name.signature;
    r->fileSize = o->fileSize;
    r->changeTime = o->changeTime;
    r->accessTime = o->accessTime;
    r->modifyStamp = modifyCounter;
    storeItemFlags(r, old.flags());
    freeItem(pool, old, modifyCounter);
    return fresh;
}

void refreshItem(ZLockItem item, ULONGLONG fileSize, ULONGLONG changeTime, ULONGLONG accessTime,
                 BYTE noNameTimesAndNoData)
{
    if (!item || !item.isLive())
        return;
    ItemRecord* r = item.record();
    r->fileSize = fileSize;
    r->changeTime = changeTime;
    r->accessTime = accessTime;
    const BYTE flags = BYTE((item.flags() & ~kDescriptiveFlags) | (noNameTimesAndNoData & kDescriptiveFlags));
    storeItemFlags(r, flags);
}

} // namespace SearchEngine
