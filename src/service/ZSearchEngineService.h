// The search service: a local socket server for the suite's client
// processes, the owner of one volume thread per logical drive, and the relay
// that turns the volume threads' signals into client messages.
#pragma once

#include "win32/win32_types.h"
#include "win32/ZTimeConstants.h"
#include "wire/ZWireProtocol.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QLocalServer>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>
#include <list>

class QLocalSocket;

namespace SearchEngine {

class ZDriveVolume;

class ZService : public QLocalServer, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // The name clients connect to.
    static constexpr const char* kServerName = ServiceServerName;
    // The single-instance guard's name.
    static const char kInstanceMutexName[];
    // Starts within this many seconds of the one that opened the window count
    // together; the start that would make the count reach kMaxStartsInWindow
    // is refused.
    static constexpr qint64 kRestartWindowSeconds = Platform::kRestartWindowSeconds;
    static constexpr int kMaxStartsInWindow = 5;
    // Delay before a lost drive is dropped, or the service quits after a
    // journal parameter error.
    static constexpr int kListenFailedDelayMs = 1000;
    // Unsent bytes a client may hold in the service before it is cut off.
    static constexpr qint64 kMaxClientBacklogBytes = 4 * 1024 * 1024;
    // A client holding more than this share is also cut off when its user's
    // clients hold more than kMaxUidBacklogBytes together, or all clients
    // more than kMaxBacklogBytes: many clients that stop reading cannot make
    // the service hold a gigabyte.
    static constexpr qint64 kClientBacklogShareBytes = 256 * 1024;
    static constexpr qint64 kMaxUidBacklogBytes = 16 * 1024 * 1024;
    static constexpr qint64 kMaxBacklogBytes = 64 * 1024 * 1024;
    // Clients connected at once, in all and from one user; further ones are
    // refused.
    static constexpr int kMaxClients = 256;
    static constexpr int kMaxClientsPerUid = 64;
    // The stream is one-way: the most a client's socket holds of what it
    // sends before the client is cut off for sending.
    static constexpr qint64 kClientReadBufferBytes = 1;
    // How often the service checks that its server still listens (a failed
    // accept closes it), and its exit code when it cannot listen again.
    static constexpr int kListenCheckIntervalMs = 1000;
    static constexpr int kListenLostExitCode = 1;
    // The exit code after a drive's journal could not be read with its
    // parameters: a failure, restarted, and the drive rebuilt at that start.
    static constexpr int kJournalFailedExitCode = 2;
    // The exit code of a start that failed (an unsafe runtime folder, a lock
    // or socket that cannot be had, no drives): not restarted, since a
    // restart meets the same, but not reported as success either. A start
    // the restart policy refuses, or one another instance already serves,
    // ends with 0.
    static constexpr int kStartFailedExitCode = 3;

    // Makes the volume object for one drive letter; the default makes a
    // ZDriveVolume. Tests hand in volumes whose thread body they control.
    using VolumeFactory = std::function<ZDriveVolume*(ushort letter)>;

    ZService();
    ~ZService() override;

    bool start();
    // start() returned false for a failure (kStartFailedExitCode), not a refusal.
    bool failedToStart() const { return startFailed; }
    void stop();
    // Records an orderly exit, which the restart policy does not hold against
    // later starts, and ends the event loop: the last client left, or a stop
    // signal came.
    void quitOrderly();

    // Replaces the volume factory; call before start().
    void setVolumeFactory(VolumeFactory factory);
    // Replaces kMaxClients and kMaxClientsPerUid (for tests).
    void setClientLimits(int total, int perUid);

    // Waits up to timeoutMs for the threads of every volume the service let go
    // (stopped, failed or lost) to end; false when one is still running.
    bool waitForRetiredVolumes(int timeoutMs);

    // Read-only views for the service's own tests and the runner.
    HANDLE instanceMutexHandle() const { return instanceMutex; }
    const std::list<ZDriveVolume*>& volumeList() const { return volumes; }
    const QList<QLocalSocket*>& clientList() const { return clients; }

    // Volume signals, all received on the main thread.
    void onInitDone(bool bSucceed, const QString& poolName, ushort uDrive, DWORD modifyMask, DWORD pieceSize);
    void onPieceAppended(ushort uDrive, DWORD pieceSize);
    void onItemRemoved(ULONGLONG itemRef, DWORD modifyMask);
    void onItemChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);
    void onItemAppended(ULONGLONG itemRef, DWORD modifyMask);
    void onItemNameChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);
    void onListenFailed(DWORD reason);

    // Broadcasts: each builds its message once and writes it to every client.
    void broadcastPieceAppended(ushort drive, DWORD pieceSize);
    void broadcastItem(int type, ULONGLONG itemRef, DWORD modifyMask);
    void broadcastItemPair(int type, ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask);
    void broadcastListenFailed(DWORD reason, ushort drive);

    // Logs WM_DEVICECHANGE messages; never consumes an event.
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;

protected:
    void incomingConnection(quintptr socketDescriptor) override;

    // True when this start may go on; updates the start count and window.
    bool checkRestartPolicy();

private:
    // Listens on kServerName, clearing a socket file left there first: the
    // single-instance guard makes the name ours.
    bool listenOnServerName();
    // True while the socket listenOnServerName made is open. QLocalServer
    // keeps isListening() true after closing it, and has no descriptor left
    // to ask for.
    bool stillListening() const;
    // Listens again when the server was closed under the service; quits
    // with kListenLostExitCode when it cannot.
    void keepListening();
    // True when the peer of a new connection may become a client.
    bool admitsClient(uint uid) const;
    bool isClient(QLocalSocket* socket) const { return clientUids.contains(socket); }
    // Disconnects a client the service gives up on.
    void dropClient(QLocalSocket* socket);
    void connectVolume(ZDriveVolume* volume);
    // Writes the message to every client in connection order.
    void broadcast(const QByteArray& message);
    // Writes one message to one client; false when the client has fallen so
    // far behind that it must be cut off.
    bool writeToClient(QLocalSocket* socket, const QByteArray& message);
    // Disconnects the clients that writeToClient refused.
    void dropLaggingClients(const QList<QLocalSocket*>& lagging);
    void onClientDisconnected(QLocalSocket* socket);
    // Drops a lost drive's volume one delay later.
    void removeVolumeLater(ZDriveVolume* volume);
    // Deletes a volume that left `volumes` once its thread has ended.
    void releaseVolume(ZDriveVolume* volume);
    // Writes what the service serves beside its socket (all volumes but
    // `leaving`); withdrawDrives removes the file (ZSearchEngineServicePublish.cpp).
    void publishDrives(const ZDriveVolume* leaving = nullptr) const;
    void withdrawDrives() const;
    // True when every volume in `volumes` has had its success delivered here.
    bool allVolumesAnnounced() const;

    HANDLE instanceMutex = nullptr;
    // Set once the single-instance guard is held: what the instance made is its to remove.
    bool ownsInstance = false;
    bool startFailed = false;
    std::list<ZDriveVolume*> volumes;
    QList<QLocalSocket*> clients;
    // The peer uid of every client in `clients`.
    QHash<QLocalSocket*, uint> clientUids;
    int maxClients = kMaxClients;
    int maxClientsPerUid = kMaxClientsPerUid;
    QTimer listenWatch;
    // The listening socket: its descriptor, and the device and inode that
    // tell it from a later descriptor of the same number.
    qintptr listenDescriptor = -1;
    quint64 listenDevice = 0;
    quint64 listenInode = 0;
    QByteArray socketFile;   // the path bound, checked with the listening socket
    quint64 socketFileDevice = 0;
    quint64 socketFileInode = 0;
    VolumeFactory volumeFactory;
    // Volumes whose successful initDone has reached the service. A volume
    // sets its done flag before its queued signal arrives, and for a failure
    // too, so the flag alone would announce failed or unannounced drives.
    QSet<ZDriveVolume*> announcedVolumes;
    // Volumes let go of, until their objects are deleted.
    QList<QPointer<ZDriveVolume>> retired;
};

// The "TestService" runner: runs the service until its event loop ends.
int runService(int argc, char** argv);

} // namespace SearchEngine
