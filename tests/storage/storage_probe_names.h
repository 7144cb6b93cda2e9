// What the storage tests share: self-checking items (every field and the
// whole name follow from the record number and a generation written into the
// name, so a torn record shows), saving and loading a pool in memory, and a
// walk of its free lists.
#pragma once

#include "client/ZSharedPoolReader.h"
#include "storage/ZItemRecord.h"
#include "storage/ZItemStore.h"
#include "storage/ZSavedBytesReader.h"
#include "storage/ZSharedPool.h"

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <tuple>
#include <vector>

namespace StorageProbe {

using namespace SearchEngine;

inline QString itemName(DWORD recordNumber, DWORD generation)
{
    QString name = QStringLiteral("%1_%2_").arg(recordNumber).arg(generation);
    const int filler = int((recordNumber * 7 + generation * 13) % 34);
    for (int i = 0; i < filler; ++i) {
        const char letter = char('a' + (recordNumber + generation + DWORD(i)) % 26);
        name += QLatin1Char(i % 2 ? letter : char(letter - 32));
    }
    return name;
}
inline DWORD parentOf(DWORD recordNumber) { return recordNumber ^ 0xA5A5A5A5u; }
inline ULONGLONG fileSizeOf(DWORD recordNumber) { return ULONGLONG(recordNumber) * 11; }
inline ULONGLONG accessTimeOf(DWORD recordNumber) { return ULONGLONG(recordNumber) * 3; }

// True when a live snapshot is exactly what the writer wrote for it.
inline bool isWhole(const ZItemSnapshot& s)
{
    const QString name = s.fileName();
    const QStringList parts = name.split(QLatin1Char('_'));
    if (parts.size() != 3)
        return false;
    bool ok1 = false, ok2 = false;
    const DWORD recordNumber = parts[0].toUInt(&ok1);
    const DWORD generation = parts[1].toUInt(&ok2);
    return ok1 && ok2 && name == itemName(recordNumber, generation) && s.recordNumber == recordNumber
        && s.parentRecordNumber == parentOf(recordNumber) && s.fileSize == fileSizeOf(recordNumber)
        && s.accessTime == accessTimeOf(recordNumber)
        && s.nameSignature == nameSignatureOf(name.utf16(), name.size());
}

// Appends (or, recycling, allocates) a live item whose fields follow from recordNumber.
inline ZLockItem addItem(ZSharedPool& pool, const QString& text, DWORD recordNumber, bool recycle = false,
                         DWORD stamp = 0)
{
    ZItemName n;
    if (!makeItemName(text, &n))
        return ZLockItem();
    ZLockItem run = recycle ? pool.allocate(n.slotCount()) : pool.append(n.slotCount());
    const ZItemFields f{recordNumber, parentOf(recordNumber), 0, fileSizeOf(recordNumber), 0,
                        accessTimeOf(recordNumber), n.signature, 0, stamp};
    return createItem(run, f, n) ? run : ZLockItem();
}

inline QByteArray savePool(ZSharedPool& pool)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    pool.save(out);
    return bytes;
}

inline bool loadPool(ZSharedPool& pool, const QByteArray& bytes)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    ZSavedBytesReader in(&device);
    return pool.load(in);
}

// A free-list entry: its list, the run's reference, slot count and flags,
// and when it was freed.
using FreeEntry = std::tuple<int, ULONGLONG, int, int, QDateTime>;
using FreeEntries = std::vector<FreeEntry>;

// Every entry of the pool's free lists, list by list in release order. An
// entry whose run lies in no piece of the pool is not read: it shows as
// reference 0, no slots.
inline FreeEntries freeEntries(const ZSharedPool& pool)
{
    const auto inPool = [&](const ZLockItem& run) {
        const quintptr r = quintptr(run.record());
        for (int p = 1; p <= pool.pieceCount(); ++p) {
            const quintptr begin = quintptr(pool.piece(p)->header());
            if (r >= begin && r < begin + quintptr(pool.piece(p)->segmentSize()))
                return true;
        }
        return false;
    };
    FreeEntries all;
    for (int i = 0; i < ZSharedPool::kFreeListCount; ++i)
        for (const FreeSlotEntry& e : pool.freeList(i))
            all.push_back(inPool(e.run) ? FreeEntry(i, e.run.itemRef(), e.run.slotCount(), e.run.flags(), e.releaseTime)
                                        : FreeEntry(i, 0, 0, 0, e.releaseTime));
    return all;
}

// The segment under a key file, by id (-1 when none): once a segment is gone
// its key may be taken by another process's segment at any time.
inline int segmentIdOf(const QString& keyFile)
{
    const key_t key = ::ftok(QFile::encodeName(keyFile).constData(), 'Q');
    return key == -1 ? -1 : ::shmget(key, 0, 0);
}

// Points the process's temporary folder elsewhere while it lives.
struct TempFolderAs {
    explicit TempFolderAs(const QString& folder) : saved(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(folder));
    }
    ~TempFolderAs() { qputenv("TMPDIR", saved); }
    const QByteArray saved;
};

} // namespace StorageProbe
