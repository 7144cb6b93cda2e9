// What the service and its clients agree on over the local socket, in one
// place: the server name, the message types, the stream version and the
// terminator. Each message is a QDataStream record (big-endian) whose first
// int32 is its type, base64 encoded, followed by "<<":
//
//   type 1  VolumeReady      poolName, drive, pieceCount, modifyMask
//   type 2  AllReady         (no fields)
//   type 3  PieceAppended    drive, pieceSize
//   type 4  ItemRemoved      itemRef, modifyMask
//   type 5  ItemChanged      itemRef, newItemRef, modifyMask
//   type 6  ItemAppended     itemRef, modifyMask
//   type 7  ItemNameChanged  itemRef, newItemRef, modifyMask
//   type 8  ListenFailed     reason, drive
#pragma once

#include <QDataStream>

namespace SearchEngine {

// The local server's name; the socket file has this name in its folder.
constexpr char ServiceServerName[] = "{77D40466-DBC1-4FD5-9104-6133882729E0}";

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

} // namespace SearchEngine
