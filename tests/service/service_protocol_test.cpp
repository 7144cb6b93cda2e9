// The eight client messages against bytes written out by hand, and the
// client-side decoder checked by building each decoded message again: whole,
// split at every byte, merged, long, and corrupt streams.
#include "client/ZMessageDecoder.h"
#include "service/ZClientProtocol.h"

#include <gtest/gtest.h>

#include <QByteArray>

using namespace SearchEngine;

namespace {

QByteArray framed(const char* recordHex)
{
    return QByteArray::fromHex(QByteArray(recordHex)).toBase64() + "<<";
}

// The bytes of a decoded message, built again from the fields of its type:
// equal to what was fed only when every field was decoded.
QByteArray rebuilt(const ZClientMessage& m)
{
    switch (m.type) {
    case 1:
        return buildVolumeReady(m.poolName, m.drive, m.pieceCount, m.modifyMask);
    case 2:
        return buildAllReady();
    case 3:
        return buildPieceAppended(m.drive, m.pieceSize);
    case 4:
    case 6:
        return buildItem(m.type, m.itemRef, m.modifyMask);
    case 5:
    case 7:
        return buildItemPair(m.type, m.itemRef, m.newItemRef, m.modifyMask);
    case 8:
        return buildListenFailed(m.reason, m.drive);
    }
    return "unknown type " + QByteArray::number(m.type);
}

// Everything the decoder gives now, built again.
QByteArray decodeAll(ZMessageDecoder& d)
{
    QByteArray out;
    ZClientMessage m;
    while (d.next(m))
        out += rebuilt(m);
    return out;
}

const ULONGLONG kRef = 0x8043000200000011ull;   // high bit set: a negative int64

const struct {
    QByteArray built;
    QByteArray expected;
} kMessages[] = {
    {buildAllReady(), "AAAAAg==<<"},
    {buildPieceAppended(67, 5), framed("00000003" "0043" "00000005")},
    {buildListenFailed(21, 69), framed("00000008" "00000015" "0045")},
    {buildVolumeReady(QString(), 67, 0, 0), framed("00000001" "ffffffff" "0043" "00000000" "00000000")},
    {buildVolumeReady(QLatin1String(""), 67, 0, 0), framed("00000001" "00000000" "0043" "00000000" "00000000")},
    {buildVolumeReady(QStringLiteral("{a}"), 67, 3, 0x01020304),
     framed("00000001" "00000006" "007b0061007d" "0043" "00000003" "01020304")},
    {buildItem(4, kRef, 7), framed("00000004" "8043000200000011" "00000007")},
    {buildItem(6, kRef, 0xFFFFFFFFu), framed("00000006" "8043000200000011" "ffffffff")},
    {buildItemPair(5, kRef, 0x0043000000000022ull, 9),
     framed("00000005" "8043000200000011" "0043000000000022" "00000009")},
    // 24 bytes, a multiple of 3: no "=" before "<<".
    {buildItemPair(7, 1, 2, 3), "AAAABwAAAAAAAAABAAAAAAAAAAIAAAAD<<"},
};

} // namespace

// Every message matches its bytes, and decodes whole, split at every byte,
// and in a long batch after them split mid-message.
TEST(MessageDecoder, EveryMessageMatchesItsBytesAndDecodesWholeSplitAtEveryByteAndInALongBatch)
{
    QByteArray stream;
    for (const auto& c : kMessages) {
        EXPECT_EQ(c.built, c.expected);
        stream += c.built;
    }
    ZMessageDecoder whole;
    whole.feed(stream);
    EXPECT_EQ(decodeAll(whole), stream);
    EXPECT_EQ(whole.malformedCount(), 0);
    EXPECT_EQ(whole.pendingBytes(), 0);

    ZMessageDecoder bytewise;
    QByteArray decoded;
    for (char c : stream) {
        bytewise.feed(QByteArray(1, c));
        decoded += decodeAll(bytewise);
    }
    EXPECT_EQ(decoded, stream);

    QByteArray batch;
    for (int i = 0; i < 50000; ++i)
        batch += buildItem(6, ULONGLONG(i), DWORD(i));
    const int half = batch.size() / 2 + 3;
    bytewise.feed(batch.left(half));
    decoded = decodeAll(bytewise);
    bytewise.feed(batch.mid(half));
    decoded += decodeAll(bytewise);
    EXPECT_TRUE(decoded == batch);
    EXPECT_EQ(bytewise.pendingBytes(), 0);
}

// Each piece that is not a message is dropped and counted once, with nothing
// left buffered, and the message after it still decodes.
TEST(MessageDecoder, SkipsMalformedRecordsAndUnterminatedFloods)
{
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"a character outside the alphabet", "AAA*AAg==<<"},   // the all-ready record but for the "*"
        {"unknown type", framed("00000009")},
        {"too short", framed("00000004" "0000000000000001")},
        {"trailing byte", framed("00000002" "00")},
        {"string past the record", framed("00000001" "7ffffffe" "0043")},
        // Read as one character, its third byte would make the rest the right length.
        {"odd byte count", framed("00000001" "00000003" "004100" "43" "00000000" "00000000")},
        {"no terminator within the limit", QByteArray(ZMessageDecoder::MaxPendingBytes + 1, 'A')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ZMessageDecoder d;
        d.feed(c.bytes);
        EXPECT_EQ(decodeAll(d), QByteArray());
        EXPECT_EQ(d.pendingBytes(), 0);
        EXPECT_EQ(d.malformedCount(), 1);
        d.feed(buildAllReady());
        EXPECT_EQ(decodeAll(d), buildAllReady());
        EXPECT_EQ(d.malformedCount(), 1);
    }
}
