// Client side of the service's message stream: splits the bytes read from
// the local socket at "<<", decodes each piece from base64 and reads its
// big-endian record. Knows the wire format only, not the service.
#pragma once

#include "win32/win32_types.h"
#include "wire/ZWireProtocol.h"

#include <QByteArray>
#include <QString>

namespace SearchEngine {

// One decoded message. Only the fields of its type are set.
struct ZClientMessage {
    // A ClientMessageType; only the fields of that type are set.
    int type = 0;
    QString poolName;
    ushort drive = 0;
    int pieceCount = 0;
    DWORD modifyMask = 0;
    DWORD pieceSize = 0;
    ULONGLONG itemRef = 0;
    ULONGLONG newItemRef = 0;
    DWORD reason = 0;
};

class ZMessageDecoder {
public:
    // The longest text kept while waiting for "<<". Real messages are a few
    // hundred bytes at most; more means the stream is not this protocol.
    static constexpr int MaxPendingBytes = 64 * 1024;

    // Appends bytes as read; messages may be split anywhere.
    void feed(const QByteArray& bytes);
    // Takes the next complete message. Malformed pieces are skipped and
    // counted. False when no complete message is buffered.
    bool next(ZClientMessage& message);

    // Pieces that were not a valid message (bad base64, unknown type, wrong
    // length), and text dropped for lack of a terminator.
    int malformedCount() const { return malformed_; }
    int pendingBytes() const { return pending_.size() - consumed_; }

    // Decodes one piece (the base64 text without "<<").
    static bool decode(const QByteArray& base64, ZClientMessage& message);

private:
    // Bytes not yet split off start at consumed_; the consumed front is
    // dropped once per batch, not once per message.
    QByteArray pending_;
    int consumed_ = 0;
    int malformed_ = 0;
};

// A one-line description of a message, for logs and the command-line client.
QString describeMessage(const ZClientMessage& message);

} // namespace SearchEngine
