// Client connections: admitting a new socket within the client limits,
// telling it the state of every drive, writing to clients, cutting off those
// that send or stop reading, and quitting when the last one leaves.
#include "service/ZSearchEngineService.h"

#include "frame/ZLog.h"
#include "frame/ZSettings.h"
#include "service/ZClientProtocol.h"
#include "volume/ZDriveVolume.h"

#include <QCoreApplication>
#include <QLocalSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace SearchEngine {

void ZService::setClientLimits(int total, int perUid)
{
    maxClients = total;
    maxClientsPerUid = perUid;
}

bool ZService::admitsClient(uint uid) const
{
    if (clients.size() >= maxClients) {
        LOG(WARNING) << "client refused: " << int(clients.size()) << " clients are connected (uid " << uid << ")";
        return false;
    }
    const int ofUid = int(std::count(clientUids.cbegin(), clientUids.cend(), uid));
    if (ofUid >= maxClientsPerUid) {
        LOG(WARNING) << "client refused: uid " << uid << " has " << ofUid << " clients connected";
        return false;
    }
    return true;
}

void ZService::incomingConnection(quintptr socketDescriptor)
{
    const int fd = int(socketDescriptor);
    ucred peer = {};
    socklen_t peerSize = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
        LOG(WARNING) << "client refused: its credentials cannot be read: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    if (!admitsClient(peer.uid)) {
        ::close(fd);
        return;
    }

    QLocalSocket* socket = new QLocalSocket(this);
    // Clients only listen: what one sends is not kept beyond this bound, and
    // the first byte of it cuts the client off.
    socket->setReadBufferSize(kClientReadBufferBytes);
    socket->setSocketDescriptor(socketDescriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite);
    clients.append(socket);
    clientUids.insert(socket, peer.uid);

    connect(socket, &QLocalSocket::disconnected, this, [this, socket]() { onClientDisconnected(socket); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
        if (!isClient(socket))
            return;
        LOG(WARNING) << "client disconnected: uid " << clientUids.value(socket)
                     << " sent data on the one-way stream";
        dropClient(socket);
    });
    connect(socket, &QLocalSocket::errorOccurred, this, [](QLocalSocket::LocalSocketError error) {
        LOG(DEBUG) << "connection error occurred: " << int(error);
    });

    // The state so far goes to this client only; later changes reach it as
    // broadcasts, since it is in `clients` already.
    bool allReady = true;
    for (ZDriveVolume* volume : volumes) {
        if (announcedVolumes.contains(volume))
            writeToClient(socket, buildVolumeReady(volume->poolName(), volume->drive(), volume->pieceCount(),
                                                   volume->modifyCounter()));
        else
            allReady = false;
    }
    if (allReady)
        writeToClient(socket, buildAllReady());
}

void ZService::onClientDisconnected(QLocalSocket* socket)
{
    const int index = clients.indexOf(socket);
    if (index < 0)
        return;  // already handled
    clients.removeAt(index);
    clientUids.remove(socket);
    socket->deleteLater();
    if (clients.isEmpty())
        quitOrderly();
}

bool ZService::writeToClient(QLocalSocket* socket, const QByteArray& message)
{
    socket->write(message);
    socket->flush();
    // A client that stops reading leaves its messages in this process; past
    // the bounds it is cut off rather than let it exhaust the service.
    const qint64 held = socket->bytesToWrite();
    if (held <= kClientBacklogShareBytes)
        return true;
    if (held > kMaxClientBacklogBytes)
        return false;
    const uint uid = clientUids.value(socket);
    qint64 ofUid = 0;
    qint64 all = 0;
    for (auto it = clientUids.cbegin(); it != clientUids.cend(); ++it) {
        const qint64 bytes = it.key()->bytesToWrite();
        all += bytes;
        if (it.value() == uid)
            ofUid += bytes;
    }
    return ofUid <= kMaxUidBacklogBytes && all <= kMaxBacklogBytes;
}

void ZService::broadcast(const QByteArray& message)
{
    // A failed write disconnects its client at once, and so changes
    // `clients`: the loop walks a copy and skips those gone meanwhile.
    QList<QPointer<QLocalSocket>> targets;
    targets.reserve(clients.size());
    for (QLocalSocket* socket : clients)
        targets.append(socket);
    QList<QLocalSocket*> lagging;
    for (const QPointer<QLocalSocket>& socket : targets) {
        if (!socket || !isClient(socket.data()))
            continue;
        if (!writeToClient(socket.data(), message))
            lagging.append(socket.data());
    }
    if (!lagging.isEmpty())
        dropLaggingClients(lagging);
}

void ZService::dropLaggingClients(const QList<QLocalSocket*>& lagging)
{
    for (QLocalSocket* raw : lagging) {
        QPointer<QLocalSocket> socket(raw);
        if (!socket || !isClient(socket.data()))
            continue;
        LOG(WARNING) << "client disconnected: it stopped reading and " << qint64(socket->bytesToWrite())
                     << " bytes are waiting for it";
        dropClient(socket.data());
    }
}

void ZService::dropClient(QLocalSocket* raw)
{
    QPointer<QLocalSocket> socket(raw);
    socket->abort();
    // abort() normally reports the disconnection at once; make sure the
    // client leaves the list either way.
    if (socket && isClient(socket.data()))
        onClientDisconnected(socket.data());
}

} // namespace SearchEngine
