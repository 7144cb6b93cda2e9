// libFuzzer target over the client's message decoder, as an impostor on the
// service's socket would drive it: arbitrary bytes, fed in chunks of sizes
// the input picks (a chunk may repeat a byte run, so small inputs can flood
// past the pending limit). The decoder must not crash or spin, must keep at
// most MaxPendingBytes, and every message it returns must be one the
// service's own builders make and the decoder reads back unchanged. Without a
// flood, the messages must be those of the stream cut at every "<<" and each
// piece decoded alone, and each such message must be the very record its
// piece holds, as the service's builders write it.
#include "client/ZMessageDecoder.h"
#include "service/ZClientProtocol.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace SearchEngine;

namespace {

constexpr size_t kMaxChunk = 256;
constexpr int kMaxRepeat = 1024;
constexpr int kTerminatorLength = int(sizeof(MessageTerminator)) - 1;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool same(const ZClientMessage& a, const ZClientMessage& b)
{
    return a.type == b.type && a.poolName == b.poolName && a.poolName.isNull() == b.poolName.isNull()
        && a.drive == b.drive && a.pieceCount == b.pieceCount && a.modifyMask == b.modifyMask
        && a.pieceSize == b.pieceSize && a.itemRef == b.itemRef && a.newItemRef == b.newItemRef
        && a.reason == b.reason;
}

// The message as the service writes it; empty for a type it never sends.
QByteArray rebuild(const ZClientMessage& m)
{
    switch (m.type) {
    case MessageVolumeReady: return buildVolumeReady(m.poolName, m.drive, m.pieceCount, m.modifyMask);
    case MessageAllReady: return buildAllReady();
    case MessagePieceAppended: return buildPieceAppended(m.drive, m.pieceSize);
    case MessageItemRemoved:
    case MessageItemAppended: return buildItem(m.type, m.itemRef, m.modifyMask);
    case MessageItemChanged:
    case MessageItemNameChanged: return buildItemPair(m.type, m.itemRef, m.newItemRef, m.modifyMask);
    case MessageListenFailed: return buildListenFailed(m.reason, m.drive);
    default: return QByteArray();
    }
}

// Well formed: the service's bytes for it decode to exactly it, and none of
// the fields of other types is set (the rebuilt message has none of them).
void checkWellFormed(const ZClientMessage& m)
{
    const QByteArray framed = rebuild(m);
    check(!framed.isEmpty());
    ZMessageDecoder d;
    d.feed(framed);
    ZClientMessage back;
    check(d.next(back) && same(back, m));
    check(!d.next(back) && d.malformedCount() == 0 && d.pendingBytes() == 0);
}

QByteArray recordOf(const QByteArray& base64)
{
    return QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors).decoded;
}

// Takes every message the decoder holds; each consumes at least a terminator.
void drain(ZMessageDecoder& d, qint64 fed, std::vector<ZClientMessage>& out)
{
    ZClientMessage m;
    while (d.next(m)) {
        out.push_back(m);
        check(kTerminatorLength * qint64(out.size() + size_t(d.malformedCount())) <= fed);
    }
    check(d.pendingBytes() >= 0 && d.pendingBytes() <= ZMessageDecoder::MaxPendingBytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    ZMessageDecoder chunked;
    QByteArray stream;
    std::vector<ZClientMessage> messages;
    while (in.remaining_bytes() > 0) {
        const size_t length = in.ConsumeIntegralInRange<size_t>(1, kMaxChunk);
        const int repeat = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, kMaxRepeat) : 1;
        const std::string bytes = in.ConsumeBytesAsString(length);
        const QByteArray chunk = QByteArray::fromStdString(bytes).repeated(repeat);
        stream += chunk;
        chunked.feed(chunk);
        drain(chunked, stream.size(), messages);
    }
    for (const ZClientMessage& m : messages)
        checkWellFormed(m);

    // Without a flood the pending limit never cuts in.
    if (stream.size() > ZMessageDecoder::MaxPendingBytes)
        return 0;
    size_t next = 0;
    int malformed = 0;
    int start = 0;
    for (int end; (end = stream.indexOf(MessageTerminator, start)) >= 0; start = end + kTerminatorLength) {
        const QByteArray piece = stream.mid(start, end - start);
        ZClientMessage m;
        if (!ZMessageDecoder::decode(piece, m)) {
            ++malformed;
            continue;
        }
        const QByteArray framed = rebuild(m);
        check(recordOf(piece) == recordOf(framed.left(framed.size() - kTerminatorLength)));
        check(next < messages.size() && same(messages[next++], m));
    }
    check(next == messages.size() && malformed == chunked.malformedCount()
          && chunked.pendingBytes() == stream.size() - start);
    return 0;
}
