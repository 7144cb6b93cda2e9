// The eight client messages against bytes written out by hand, and the
// client-side decoder on whole, split, merged and corrupt streams.
#include "client/ZMessageDecoder.h"
#include "service/ZClientProtocol.h"

#include <gtest/gtest.h>

#include <QByteArray>

using namespace SearchEngine;

namespace {

QByteArray hex(const char* h)
{
    return QByteArray::fromHex(QByteArray(h));
}

QByteArray framed(const QByteArray& record)
{
    return record.toBase64() + "<<";
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

TEST(ClientProtocol, ByteExamples)
{
    // type 2: 00 00 00 02, 8 base64 characters.
    EXPECT_EQ(buildAllReady(), QByteArray("AAAAAg==<<"));
    // type 3 for C: with pieceSize 5.
    EXPECT_EQ(buildPieceAppended(67, 5), framed(hex("00000003" "0043" "00000005")));
    // type 8 for E: with reason 21.
    EXPECT_EQ(buildListenFailed(21, 69), framed(hex("00000008" "00000015" "0045")));
}

TEST(ClientProtocol, VolumeReadyLayout)
{
    const QString pool = QStringLiteral("{0a1b2c3d-1111-2222-3333-444455556666}");
    ASSERT_EQ(pool.size(), 38);
    const QByteArray msg = buildVolumeReady(pool, 67, 3, 0x01020304);
    // 94 record bytes, 128 base64 characters and the terminator.
    EXPECT_EQ(msg.size(), 130);
    QByteArray record = hex("00000001" "0000004c");
    for (QChar c : pool) {
        record.append(char(0));
        record.append(char(c.unicode()));
    }
    record += hex("0043" "00000003" "01020304");
    ASSERT_EQ(record.size(), 94);
    EXPECT_EQ(msg, framed(record));
}

TEST(ClientProtocol, NullAndEmptyPoolNames)
{
    EXPECT_EQ(buildVolumeReady(QString(), 67, 0, 0), framed(hex("00000001" "ffffffff" "0043" "00000000" "00000000")));
    EXPECT_EQ(buildVolumeReady(QLatin1String(""), 67, 0, 0),
              framed(hex("00000001" "00000000" "0043" "00000000" "00000000")));
}

TEST(ClientProtocol, ItemMessagesCarryReferencesBitForBit)
{
    const ULONGLONG ref = 0x8043000200000011ull;  // high bit set: a negative int64
    EXPECT_EQ(buildItem(4, ref, 7), framed(hex("00000004" "8043000200000011" "00000007")));
    EXPECT_EQ(buildItem(6, ref, 0xFFFFFFFFu), framed(hex("00000006" "8043000200000011" "ffffffff")));
    EXPECT_EQ(buildItemPair(5, ref, 0x0043000000000022ull, 9),
              framed(hex("00000005" "8043000200000011" "0043000000000022" "00000009")));
    EXPECT_EQ(buildItemPair(7, 1, 2, 3),
              framed(hex("00000007" "0000000000000001" "0000000000000002" "00000003")));
}

TEST(ClientProtocol, RecordOfMultipleOfThreeHasNoPadding)
{
    // A type 7 record is 24 bytes, a multiple of 3: no "=" before "<<".
    const QByteArray msg = buildItemPair(7, 1, 2, 3);
    EXPECT_FALSE(msg.contains('='));
    EXPECT_TRUE(msg.endsWith("<<"));
}

TEST(MessageDecoder, DecodesEveryType)
{
    ZMessageDecoder d;
    d.feed(buildVolumeReady(QStringLiteral("{pool}"), 67, 2, 5));
    d.feed(buildAllReady());
    d.feed(buildPieceAppended(68, 4));
    d.feed(buildItem(4, 0x8043000100000002ull, 10));
    d.feed(buildItemPair(5, 11, 12, 13));
    d.feed(buildItem(6, 14, 15));
    d.feed(buildItemPair(7, 16, 17, 18));
    d.feed(buildListenFailed(87, 69));
    const auto all = decodeAll(d);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[0].type, 1);
    EXPECT_EQ(all[0].poolName, QStringLiteral("{pool}"));
    EXPECT_EQ(all[0].drive, 67);
    EXPECT_EQ(all[0].pieceCount, 2);
    EXPECT_EQ(all[0].modifyMask, 5u);
    EXPECT_EQ(all[1].type, 2);
    EXPECT_EQ(all[2].drive, 68);
    EXPECT_EQ(all[2].pieceSize, 4u);
    EXPECT_EQ(all[3].type, 4);
    EXPECT_EQ(all[3].itemRef, 0x8043000100000002ull);
    EXPECT_EQ(all[3].modifyMask, 10u);
    EXPECT_EQ(all[4].itemRef, 11u);
    EXPECT_EQ(all[4].newItemRef, 12u);
    EXPECT_EQ(all[4].modifyMask, 13u);
    EXPECT_EQ(all[5].type, 6);
    EXPECT_EQ(all[6].type, 7);
    EXPECT_EQ(all[6].newItemRef, 17u);
    EXPECT_EQ(all[7].reason, 87u);
    EXPECT_EQ(all[7].drive, 69);
    EXPECT_EQ(d.malformedCount(), 0);
    EXPECT_EQ(d.pendingBytes(), 0);
}

TEST(MessageDecoder, NullAndEmptyNamesSurvive)
{
    ZMessageDecoder d;
    d.feed(buildVolumeReady(QString(), 67, 0, 0) + buildVolumeReady(QLatin1String(""), 67, 0, 0));
    const auto all = decodeAll(d);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].poolName.isNull());
    EXPECT_FALSE(all[1].poolName.isNull());
    EXPECT_TRUE(all[1].poolName.isEmpty());
}

TEST(MessageDecoder, TwoMessagesInOneRead)
{
    const QByteArray run = buildAllReady() + buildAllReady();
    EXPECT_EQ(run.size(), 20);
    ZMessageDecoder d;
    d.feed(run);
    EXPECT_EQ(decodeAll(d).size(), 2u);
}

TEST(MessageDecoder, SplitAtEveryByte)
{
    const QByteArray stream = buildVolumeReady(QStringLiteral("{abc}"), 67, 1, 1) + buildItemPair(7, 1, 2, 3)
        + buildListenFailed(21, 69);
    ZMessageDecoder d;
    std::vector<ZClientMessage> all;
    for (char c : stream) {
        d.feed(QByteArray(1, c));
        const auto got = decodeAll(d);
        all.insert(all.end(), got.begin(), got.end());
    }
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].type, 1);
    EXPECT_EQ(all[1].type, 7);
    EXPECT_EQ(all[2].type, 8);
}

TEST(MessageDecoder, SkipsMalformedPiecesAndCarriesOn)
{
    ZMessageDecoder d;
    d.feed("!!notbase64<<");                                      // bad alphabet
    d.feed(framed(hex("00000009")));                              // unknown type
    d.feed(framed(hex("00000004" "0000000000000001")));          // too short
    d.feed(framed(hex("00000002" "00")));                          // trailing byte
    d.feed(framed(hex("00000001" "7ffffffe" "0043")));            // string longer than the record
    d.feed(framed(hex("00000001" "00000003" "004100" "0043" "00000000" "00000000")));  // odd byte count
    d.feed(buildAllReady());
    const auto all = decodeAll(d);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].type, 2);
    EXPECT_EQ(d.malformedCount(), 6);
}

TEST(MessageDecoder, DropsUnterminatedFlood)
{
    ZMessageDecoder d;
    d.feed(QByteArray(ZMessageDecoder::MaxPendingBytes + 1, 'A'));
    ZClientMessage m;
    EXPECT_FALSE(d.next(m));
    EXPECT_EQ(d.pendingBytes(), 0);
    EXPECT_EQ(d.malformedCount(), 1);
    d.feed(buildAllReady());
    EXPECT_TRUE(d.next(m));
}

TEST(MessageDecoder, LongBatchInOneReadKeepsOrder)
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
