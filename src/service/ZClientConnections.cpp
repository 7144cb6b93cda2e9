// Client connections: adopting a new socket, telling it the state of every
// drive, writing to clients, and quitting when the last one leaves.
#include "service/ZSearchEngineService.h"

#include "frame/ZLog.h"
#include "frame/ZSettings.h"
#include "service/ZClientProtocol.h"
#include "volume/ZDriveVolume.h"

#include <QCoreApplication>
#include <QLocalSocket>

namespace SearchEngine {

void ZService::incomingConnection(quintptr socketDescriptor)
{
    QLocalSocket* socket = new QLocalSocket(this);
    socket->setSocketDescriptor(socketDescriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite);
    clients.append(socket);

    connect(socket, &QLocalSocket::disconnected, this, [this, socket]() { onClientDisconnected(socket); });
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
    socket->deleteLater();
    if (clients.isEmpty()) {
        // An orderly exit: the restart policy does not hold it against later starts.
        settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 1);
        QCoreApplication::quit();
    }
}

bool ZService::writeToClient(QLocalSocket* socket, const QByteArray& message)
{
    socket->write(message);
    socket->flush();
    // A client that stops reading leaves its messages in this process; past
    // the bound it is cut off rather than let it exhaust the service.
    return socket->bytesToWrite() <= kMaxClientBacklogBytes;
}

void ZService::broadcast(const QByteArray& message)
{
    QList<QLocalSocket*> lagging;
    for (QLocalSocket* socket : clients) {
        if (!writeToClient(socket, message))
            lagging.append(socket);
    }
    if (!lagging.isEmpty())
        dropLaggingClients(lagging);
}

void ZService::dropLaggingClients(const QList<QLocalSocket*>& lagging)
{
    for (QLocalSocket* raw : lagging) {
        QPointer<QLocalSocket> socket(raw);
        if (!socket || !clients.contains(socket.data()))
            continue;
        LOG(WARNING) << "client disconnected: it stopped reading and " << qint64(socket->bytesToWrite())
                     << " bytes are waiting for it";
        socket->abort();
        // abort() normally reports the disconnection at once; make sure the
        // client leaves the list either way.
        if (socket && clients.contains(socket.data()))
            onClientDisconnected(socket.data());
    }
}

} // namespace SearchEngine
