#include "service/ZClientProtocol.h"

#include <QIODevice>

namespace SearchEngine {

namespace {

// Serialises one record with the fixed stream settings and frames it.
template <typename Fill>
QByteArray frameRecord(qint32 type, Fill fill)
{
    QByteArray record;
    {
        QDataStream out(&record, QIODevice::WriteOnly);
        out.setVersion(ClientStreamVersion);
        out.setByteOrder(QDataStream::BigEndian);
        out << type;
        fill(out);
    }
    QByteArray framed = record.toBase64();
    framed.append(MessageTerminator);
    return framed;
}

// DWORD values travel as int32 and item references as int64, bit for bit.
qint32 asInt32(DWORD v) { return static_cast<qint32>(v); }
qint64 asInt64(ULONGLONG v) { return static_cast<qint64>(v); }

} // namespace

QByteArray buildVolumeReady(const QString& poolName, ushort drive, int pieceCount, DWORD modifyMask)
{
    return frameRecord(MessageVolumeReady, [&](QDataStream& out) {
        out << poolName << quint16(drive) << qint32(pieceCount) << asInt32(modifyMask);
    });
}

QByteArray buildAllReady()
{
    return frameRecord(MessageAllReady, [](QDataStream&) {});
}

QByteArray buildPieceAppended(ushort drive, DWORD pieceSize)
{
    return frameRecord(MessagePieceAppended, [&](QDataStream& out) {
        out << quint16(drive) << asInt32(pieceSize);
    });
}

QByteArray buildItem(int type, ULONGLONG itemRef, DWORD modifyMask)
{
    return frameRecord(type, [&](QDataStream& out) {
        out << asInt64(itemRef) << asInt32(modifyMask);
    });
}

QByteArray buildItemPair(int type, ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask)
{
    return frameRecord(type, [&](QDataStream& out) {
        out << asInt64(itemRef) << asInt64(newItemRef) << asInt32(modifyMask);
    });
}

QByteArray buildListenFailed(DWORD reason, ushort drive)
{
    return frameRecord(MessageListenFailed, [&](QDataStream& out) {
        out << asInt32(reason) << quint16(drive);
    });
}

} // namespace SearchEngine
