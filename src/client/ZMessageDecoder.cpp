#include "client/ZMessageDecoder.h"

namespace SearchEngine {

namespace {

constexpr int TerminatorLength = sizeof(MessageTerminator) - 1;
constexpr quint32 NullStringLength = 0xFFFFFFFFu;

// Reads big-endian fields from a decoded record; every read checks the
// remaining length first and a failed read poisons the reader.
class RecordReader {
public:
    explicit RecordReader(const QByteArray& bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    bool atEnd() const { return pos_ == bytes_.size(); }

    quint16 u16() { return quint16(unsignedOf(2)); }
    quint32 u32() { return quint32(unsignedOf(4)); }
    quint64 u64() { return unsignedOf(8); }

    QString string()
    {
        const quint32 byteCount = u32();
        if (!ok_ || byteCount == NullStringLength)
            return QString();
        if (byteCount % 2 != 0 || byteCount > quint32(bytes_.size() - pos_)) {
            ok_ = false;
            return QString();
        }
        QString text(int(byteCount / 2), Qt::Uninitialized);
        for (int i = 0; i < text.size(); ++i)
            text[i] = QChar(ushort(unsignedOf(2)));
        if (text.isNull())
            text = QString(QLatin1String(""));  // an empty, not a null, string
        return text;
    }

private:
    quint64 unsignedOf(int width)
    {
        if (!ok_ || width > bytes_.size() - pos_) {
            ok_ = false;
            return 0;
        }
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | quint8(bytes_[pos_ + i]);
        pos_ += width;
        return v;
    }

    const QByteArray& bytes_;
    int pos_ = 0;
    bool ok_ = true;
};

} // namespace

void ZMessageDecoder::feed(const QByteArray& bytes)
{
    pending_.append(bytes);
}

bool ZMessageDecoder::next(ZClientMessage& message)
{
    for (;;) {
        const int end = pending_.indexOf(MessageTerminator, consumed_);
        if (end < 0) {
            pending_.remove(0, consumed_);
            consumed_ = 0;
            if (pending_.size() > MaxPendingBytes) {
                // Out of step with the stream: drop what cannot be a message.
                pending_.clear();
                ++malformed_;
            }
            return false;
        }
        const QByteArray piece = pending_.mid(consumed_, end - consumed_);
        consumed_ = end + TerminatorLength;
        if (decode(piece, message))
            return true;
        ++malformed_;
    }
}

bool ZMessageDecoder::decode(const QByteArray& base64, ZClientMessage& message)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    RecordReader in(*decoded);
    ZClientMessage m;
    m.type = qint32(in.u32());
    switch (m.type) {
    case MessageVolumeReady:
        m.poolName = in.string();
        m.drive = in.u16();
        m.pieceCount = qint32(in.u32());
        m.modifyMask = in.u32();
        break;
    case MessageAllReady:
        break;
    case MessagePieceAppended:
        m.drive = in.u16();
        m.pieceSize = in.u32();
        break;
    case MessageItemRemoved:
    case MessageItemAppended:
        m.itemRef = in.u64();
        m.modifyMask = in.u32();
        break;
    case MessageItemChanged:
    case MessageItemNameChanged:
        m.itemRef = in.u64();
        m.newItemRef = in.u64();
        m.modifyMask = in.u32();
        break;
    case MessageListenFailed:
        m.reason = in.u32();
        m.drive = in.u16();
        break;
    default:
        return false;
    }
    if (!in.ok() || !in.atEnd())
        return false;
    message = m;
    return true;
}

QString describeMessage(const ZClientMessage& m)
{
    auto ref = [](ULONGLONG r) { return QStringLiteral("0x%1").arg(r, 16, 16, QLatin1Char('0')); };
    auto letter = [](ushort d) { return QString(QChar(d)) + QLatin1Char(':'); };
    switch (m.type) {
    case MessageVolumeReady:
        return QStringLiteral("1 ready %1 pool=%2 pieces=%3 modify=%4")
            .arg(letter(m.drive), m.poolName).arg(m.pieceCount).arg(m.modifyMask);
    case MessageAllReady:
        return QStringLiteral("2 all ready");
    case MessagePieceAppended:
        return QStringLiteral("3 piece appended %1 pieces=%2").arg(letter(m.drive)).arg(m.pieceSize);
    case MessageItemRemoved:
        return QStringLiteral("4 removed %1 modify=%2").arg(ref(m.itemRef)).arg(m.modifyMask);
    case MessageItemChanged:
        return QStringLiteral("5 changed %1 -> %2 modify=%3").arg(ref(m.itemRef), ref(m.newItemRef)).arg(m.modifyMask);
    case MessageItemAppended:
        return QStringLiteral("6 appended %1 modify=%2").arg(ref(m.itemRef)).arg(m.modifyMask);
    case MessageItemNameChanged:
        return QStringLiteral("7 renamed %1 -> %2 modify=%3").arg(ref(m.itemRef), ref(m.newItemRef)).arg(m.modifyMask);
    case MessageListenFailed:
        return QStringLiteral("8 listen failed %1 reason=%2").arg(letter(m.drive)).arg(m.reason);
    default:
        return QStringLiteral("unknown message %1").arg(m.type);
    }
}

} // namespace SearchEngine
