// The messages the service writes to its clients, as src/wire/ZWireProtocol.h
// lays them out.
#pragma once

#include "win32/win32_types.h"
#include "wire/ZWireProtocol.h"

#include <QByteArray>
#include <QDataStream>
#include <QString>

namespace SearchEngine {

// Type 1: a drive's index is ready.
QByteArray buildVolumeReady(const QString& poolName, ushort drive, int pieceCount, DWORD modifyMask);
// Type 2: every drive is ready.
QByteArray buildAllReady();
// Type 3: a piece was added to a drive's pool.
QByteArray buildPieceAppended(ushort drive, DWORD pieceSize);
// Types 4 and 6: an item removed or added.
QByteArray buildItem(int type, ULONGLONG itemRef, DWORD modifyMask);
// Types 5 and 7: an item replaced by another.
QByteArray buildItemPair(int type, ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);
// Type 8: a drive's journal can no longer be followed.
QByteArray buildListenFailed(DWORD reason, ushort drive);

} // namespace SearchEngine
