// The messages the service writes to its clients: a QDataStream record
// (big-endian), base64 encoded, followed by "<<".
#pragma once

#include "platform/win32_types.h"

#include <QByteArray>
#include <QDataStream>
#include <QString>

namespace SearchEngine {

// Message types, the first int32 of every record.
enum ClientMessageType : qint32 {
    MessageVolumeReady = 1,
    MessageAllReady = 2,
    MessagePieceAppended = 3,
    MessageItemRemoved = 4,
    MessageItemChanged = 5,
    MessageItemAppended = 6,
    MessageItemNameChanged = 7,
    MessageListenFailed = 8,
};

// The stream version is fixed so that the bytes on the wire do not depend on
// the Qt release the service happens to be built with.
constexpr QDataStream::Version ClientStreamVersion = QDataStream::Qt_5_15;

// Ends every message; '<' is not a base64 character.
constexpr char MessageTerminator[] = "<<";

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
