// The eight client messages against bytes written out by hand, and the
// client-side decoder on whole, split, merged and corrupt streams.
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

std::vector<ZClientMessage> decodeAll(ZMessageDecoder& d)
{
    std::vector<ZClientMessage> out;
    ZClientMessage m;
    while (d.next(m))
        out.push_back(m);
    return out;
}

} // namespace

TEST(ClientProtocol, EveryMessageMatchesItsBytes)
{
    const ULONGLONG ref = 0x8043000200000011ull;   // high bit set: a negative int64
    const struct {
        QByteArray built;
        QByteArray expected;
    } cases[] = {
        {buildAllReady(), "AAAAAg==<<"},
        {buildPieceAppended(67, 5), framed("00000003" "0043" "00000005")},
        {buildListenFailed(21, 69), framed("00000008" "00000015" "0045")},
        {buildVolumeReady(QString(), 67, 0, 0), framed("00000001" "ffffffff" "0043" "00000000" "00000000")},
        {buildVolumeReady(QLatin1String(""), 67, 0, 0), framed("00000001" "00000000" "0043" "00000000" "00000000")},
        {buildVolumeReady(QStringLiteral("{a}"), 67, 3, 0x01020304),
         framed("00000001" "00000006" "007b0061007d" "0043" "00000003" "01020304")},
        {buildItem(4, ref, 7), framed("00000004" "8043000200000011" "00000007")},
        {buildItem(6, ref, 0xFFFFFFFFu), framed("00000006" "8043000200000011" "ffffffff")},
        {buildItemPair(5, ref, 0x0043000000000022ull, 9),
         framed("00000005" "8043000200000011" "0043000000000022" "00000009")},
        // 24 bytes, a multiple of 3: no "=" before "<<".
        {buildItemPair(7, 1, 2, 3), "AAAABwAAAAAAAAABAAAAAAAAAAIAAAAD<<"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.built, c.expected);
    // A pool name of 38 characters: 94 record bytes, 128 base64 characters and the terminator.
    EXPECT_EQ(buildVolumeReady(QStringLiteral("{0a1b2c3d-1111-2222-3333-444455556666}"), 67, 3, 1).size(), 130);
}

TEST(MessageDecoder, DecodesEveryTypeWholeMergedAndSplitAtEveryByte)
{
    const QByteArray stream = buildVolumeReady(QStringLiteral("{pool}"), 67, 2, 5) + buildAllReady()
        + buildPieceAppended(68, 4) + buildItem(4, 0x8043000100000002ull, 10) + buildItemPair(5, 11, 12, 13)
        + buildItem(6, 14, 15) + buildItemPair(7, 16, 17, 18) + buildListenFailed(87, 69)
        + buildVolumeReady(QString(), 67, 0, 0) + buildVolumeReady(QLatin1String(""), 67, 0, 0);
    ZMessageDecoder whole;
    whole.feed(stream);
    const auto all = decodeAll(whole);
    ASSERT_EQ(all.size(), 10u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(all[size_t(i)].type, i + 1);
    EXPECT_EQ(all[0].poolName, QStringLiteral("{pool}"));
    EXPECT_EQ(all[0].drive, 67);
    EXPECT_EQ(all[0].pieceCount, 2);
    EXPECT_EQ(all[0].modifyMask, 5u);
    EXPECT_EQ(all[2].drive, 68);
    EXPECT_EQ(all[2].pieceSize, 4u);
    EXPECT_EQ(all[3].itemRef, 0x8043000100000002ull);
    EXPECT_EQ(all[3].modifyMask, 10u);
    EXPECT_EQ(all[4].itemRef, 11u);
    EXPECT_EQ(all[4].newItemRef, 12u);
    EXPECT_EQ(all[4].modifyMask, 13u);
    EXPECT_EQ(all[6].newItemRef, 17u);
    EXPECT_EQ(all[7].reason, 87u);
    EXPECT_EQ(all[7].drive, 69);
    EXPECT_TRUE(all[8].poolName.isNull());
    EXPECT_FALSE(all[9].poolName.isNull());
    EXPECT_TRUE(all[9].poolName.isEmpty());
    EXPECT_EQ(whole.malformedCount(), 0);
    EXPECT_EQ(whole.pendingBytes(), 0);

    ZMessageDecoder bytewise;
    std::vector<int> types;
    for (char c : stream) {
        bytewise.feed(QByteArray(1, c));
        for (const auto& m : decodeAll(bytewise))
            types.push_back(m.type);
    }
    EXPECT_EQ(types, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 1, 1}));
}

TEST(MessageDecoder, SkipsMalformedRecordsAndUnterminatedFloods)
{
    ZMessageDecoder d;
    d.feed("!!notbase64<<");                                                            // bad alphabet
    d.feed(framed("00000009"));                                                         // unknown type
    d.feed(framed("00000004" "0000000000000001"));                                     // too short
    d.feed(framed("00000002" "00"));                                                    // trailing byte
    d.feed(framed("00000001" "7ffffffe" "0043"));                                       // string past the record
    d.feed(framed("00000001" "00000003" "004100" "0043" "00000000" "00000000"));        // odd byte count
    d.feed(buildAllReady());
    const auto all = decodeAll(d);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].type, 2);
    EXPECT_EQ(d.malformedCount(), 6);

    ZMessageDecoder flooded;
    flooded.feed(QByteArray(ZMessageDecoder::MaxPendingBytes + 1, 'A'));
    ZClientMessage m;
    EXPECT_FALSE(flooded.next(m));
    EXPECT_EQ(flooded.pendingBytes(), 0);
    EXPECT_EQ(flooded.malformedCount(), 1);
    flooded.feed(buildAllReady());
    EXPECT_TRUE(flooded.next(m));
}

TEST(MessageDecoder, LongBatchSplitMidMessageKeepsOrder)
{
    QByteArray stream;
    const int count = 50000;
    for (int i = 0; i < count; ++i)
        stream += buildItem(6, ULONGLONG(i), DWORD(i));
    ZMessageDecoder d;
    d.feed(stream.left(stream.size() / 2 + 3));
    auto all = decodeAll(d);
    d.feed(stream.mid(stream.size() / 2 + 3));
    const auto rest = decodeAll(d);
    all.insert(all.end(), rest.begin(), rest.end());
    ASSERT_EQ(all.size(), size_t(count));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(all[size_t(i)].itemRef, ULONGLONG(i));
    EXPECT_EQ(d.pendingBytes(), 0);
}
