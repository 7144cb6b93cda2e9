#include "service/ZSearchEngineService.h"

#include "diagnostics/ZTelemetry.h"
#include "frame/ZLog.h"
#include "frame/ZSettings.h"
#include "platform/ZDriveTable.h"
#include "platform/windows.h"
#include "platform/win32_sync.h"
#include "service/ZClientProtocol.h"
#include "service/ZStopSignals.h"
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedSegment.h"
#include "volume/ZDriveVolume.h"
#include "wire/ZServiceLocation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QLocalSocket>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SearchEngine {

const char ZService::kInstanceMutexName[] = "{430724BB-B7C6-46B6-8CF0-01F0A60D0A57}";

namespace {

const QString kLastInitTimeKey = QStringLiteral("SearchServiceLastInitTime");
const QString kInitTimesKey = QStringLiteral("SearchServiceInitTimes");
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

// 26 drive strings of four units each, and the final null, fit with room.
constexpr DWORD kDriveStringsBufferUnits = 256;

// How long the runner lets stopped volume threads finish before the process
// tears down its statics.
constexpr int kVolumeShutdownWaitMs = Platform::kVolumeShutdownWaitMs;

// Why the single-instance lock file could not be opened.
QString lockErrorText(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return QStringLiteral("access denied (another user's file, a link or not a plain file)");
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return QStringLiteral("its folder does not exist");
    default:
        return QStringLiteral("error %1").arg(error);
    }
}

// Every client holds a descriptor: the soft limit goes up to the hard one.
void raiseDescriptorLimit()
{
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        LOG(WARNING) << "the descriptor limit cannot be raised: " << std::strerror(errno);
    }
}

} // namespace

ZService::ZService()
    : QLocalServer(nullptr)
    , volumeFactory([](ushort letter) { return new ZDriveVolume(letter); })
{
    listenWatch.setInterval(kListenCheckIntervalMs);
    connect(&listenWatch, &QTimer::timeout, this, &ZService::keepListening);
}

ZService::~ZService() = default;

void ZService::setVolumeFactory(VolumeFactory factory)
{
    volumeFactory = std::move(factory);
}

bool ZService::checkRestartPolicy()
{
    // Stored as local time text, as it always was.
    const QDateTime now = Platform::clock().now().toLocalTime();
    const QString nowText = now.toString(kTimeFormat);
    if (settingsValue(kLastInitTimeKey).isNull())
        settingsSetValue(kLastInitTimeKey, nowText);

    const QDateTime last = QDateTime::fromString(settingsValue(kLastInitTimeKey, nowText).toString(), kTimeFormat);
    const int count = settingsValue(kInitTimesKey, 0).toInt();

    // A stored time that cannot be read would hold every later start inside
    // one window for ever; it opens a new window instead.
    if (!last.isValid() || last.secsTo(now) > kRestartWindowSeconds) {
        settingsSetValue(kLastInitTimeKey, nowText);
        settingsSetValue(kInitTimesKey, 1);
        return true;
    }
    // Inside the window, a time in the future included.
    if (count + 1 >= kMaxStartsInWindow)
        return false;
    settingsSetValue(kInitTimesKey, count + 1);
    return true;
}

bool ZService::start()
{
    serviceStartTick().set(GetTickCount64());
    const ScanStats stats;

    if (!checkRestartPolicy()) {
        LOG(ERROR) << "quit 3 times in 5 minites!!!";
        // Said where the one who started it looks, too: the log is beside the program.
        std::fprintf(stderr, "searchservice: not started: start %d within %lld s is refused; try again later\n",
                     kMaxStartsInWindow, static_cast<long long>(kRestartWindowSeconds));
        sendReport(ReportServiceStart, ReportStartRefused, stats);
        return false;
    }

    // The lock, socket and key files live in a folder only this user writes.
    QString folderError;
    if (!ZServiceLocation::makeRuntimeFolder(&folderError)) {
        std::fprintf(stderr, "searchservice: %s\n", qPrintable(folderError));
        LOG(ERROR) << folderError.toStdString();
        startFailed = true;
        return false;
    }
    // Held for the life of the process: the handle is never closed.
    instanceMutex = Platform::createSingleInstanceMutex(kInstanceMutexName);
    if (!instanceMutex) {
        // Without the guard a second instance could run beside this one.
        const QString line = QStringLiteral("single-instance lock %1 cannot be opened: %2")
                                 .arg(Platform::mutexLockPath(QLatin1String(kInstanceMutexName)),
                                      lockErrorText(GetLastError()));
        std::fprintf(stderr, "searchservice: %s\n", qPrintable(line));
        LOG(ERROR) << line.toStdString();
        startFailed = true;
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        LOG(DEBUG) << "repeat start!!!";
        std::fprintf(stderr, "searchservice: another instance already serves %s\n",
                     qPrintable(ZServiceLocation::socketPath()));
        return false;
    }
    // From here the socket, the drive list and the segments are this instance's.
    ownsInstance = true;
    // Holding the guard, shared segments left by a crashed run are ours to clear.
    removeStaleSharedSegments();

    raiseDescriptorLimit();
    if (!listenOnServerName()) {
        LOG(DEBUG) << "start server failed : listen failed!";
        sendReport(ReportServiceStart, ReportStartListenFailed, stats);
        startFailed = true;
        return false;
    }
    listenWatch.start();

    WCHAR buffer[kDriveStringsBufferUnits] = {};
    const DWORD length = GetLogicalDriveStringsW(kDriveStringsBufferUnits, buffer);
    if (length == 0) {
        LOG(DEBUG) << "start server failed : GetLogicalDriveStrings";
        sendReport(ReportServiceStart, ReportStartNoDrives, stats);
        startFailed = true;
        return false;
    }
    // A result above the buffer size is the size needed; read only what fits.
    const DWORD end = std::min(length, kDriveStringsBufferUnits - 1);
    for (DWORD offset = 0; offset < end;) {
        DWORD stringLength = 0;
        while (offset + stringLength < end && buffer[offset + stringLength] != 0)
            ++stringLength;
        if (stringLength == 0)
            break;
        ZDriveVolume* volume = volumeFactory(ushort(buffer[offset]));
        connectVolume(volume);
        volumes.push_back(volume);
        offset += stringLength + 1;
    }
    publishDrives();

    for (ZDriveVolume* volume : volumes)
        volume->start();
    return true;
}

bool ZService::listenOnServerName()
{
    // Only who may read the index may connect: the service's user (and root),
    // and the segment group's members when the index is shared with one.
    // Qt makes the socket in a private folder, sets its mode and moves it in
    // place; the group is handed over just after.
    gid_t group = 0;
    const bool shared = segmentGroup(&group, nullptr);
    setSocketOptions(shared ? QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption
                            : QLocalServer::UserAccessOption);
    const QString path = ZServiceLocation::socketPath();
    QLocalServer::removeServer(path);
    if (!listen(path))
        return false;
    if (shared && ::lchown(QFile::encodeName(path).constData(), uid_t(-1), group) != 0) {
        LOG(ERROR) << "the socket cannot be handed to group " << group << " (" << std::strerror(errno)
                   << "): only its own user can connect";
    }
    struct stat info = {};
    listenDescriptor = socketDescriptor();
    if (fstat(int(listenDescriptor), &info) == 0) {
        listenDevice = quint64(info.st_dev);
        listenInode = quint64(info.st_ino);
    }
    // The file clients connect through: removed or replaced, no client
    // reaches this socket any more.
    socketFile = QFile::encodeName(path);
    if (lstat(socketFile.constData(), &info) == 0) {
        socketFileDevice = quint64(info.st_dev);
        socketFileInode = quint64(info.st_ino);
    }
    return true;
}

bool ZService::stillListening() const
{
    struct stat info = {};
    if (listenDescriptor < 0 || fstat(int(listenDescriptor), &info) != 0 || quint64(info.st_dev) != listenDevice
        || quint64(info.st_ino) != listenInode)
        return false;
    return lstat(socketFile.constData(), &info) == 0 && S_ISSOCK(info.st_mode)
           && quint64(info.st_dev) == socketFileDevice && quint64(info.st_ino) == socketFileInode;
}

void ZService::keepListening()
{
    // A failed accept (out of descriptors) closes the listening socket and
    // removes its file; the file may also be removed from outside.
    if (stillListening())
        return;
    listenDescriptor = -1;
    const QString reason = errorString();
    close();
    if (listenOnServerName()) {
        LOG(WARNING) << "the server had stopped listening (" << reason.toStdString() << "); it listens again";
        return;
    }
    LOG(ERROR) << "the server stopped listening (" << reason.toStdString()
               << ") and cannot listen again: " << errorString().toStdString();
    listenWatch.stop();
    // Not an orderly exit: the restart policy counts it.
    QCoreApplication::exit(kListenLostExitCode);
}

void ZService::connectVolume(ZDriveVolume* volume)
{
    connect(volume, &ZDriveVolume::initDone, this, &ZService::onInitDone);
    connect(volume, &ZDriveVolume::pieceAppended, this, &ZService::onPieceAppended);
    connect(volume, &ZDriveVolume::itemRemoved, this, &ZService::onItemRemoved);
    connect(volume, &ZDriveVolume::itemChanged, this, &ZService::onItemChanged);
    connect(volume, &ZDriveVolume::itemAppended, this, &ZService::onItemAppended);
    connect(volume, &ZDriveVolume::itemNameChanged, this, &ZService::onItemNameChanged);
    connect(volume, &ZDriveVolume::listenFailed, this, &ZService::onListenFailed);
}

void ZService::stop()
{
    for (ZDriveVolume* volume : volumes) {
        volume->stop();
        releaseVolume(volume);
    }
    volumes.clear();
    // A start refused by the running instance leaves that one's files alone.
    if (ownsInstance)
        withdrawDrives();
}

void ZService::quitOrderly()
{
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 1);
    QCoreApplication::quit();
}

void ZService::releaseVolume(ZDriveVolume* volume)
{
    publishDrives(volume);
    announcedVolumes.remove(volume);
    // A QThread must not be destroyed while its thread runs: the object goes
    // once run has returned.
    retired.append(QPointer<ZDriveVolume>(volume));
    connect(volume, &QThread::finished, volume, &QObject::deleteLater, Qt::UniqueConnection);
    if (volume->isFinished() || !volume->isRunning())
        volume->deleteLater();
}

bool ZService::waitForRetiredVolumes(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    bool allFinished = true;
    for (const QPointer<ZDriveVolume>& volume : retired) {
        if (volume && !volume->wait(deadline)) {
            LOG(WARNING) << "volume thread of drive " << volume->drive() << " did not end in time";
            allFinished = false;
        }
    }
    return allFinished;
}

void ZService::onInitDone(bool bSucceed, const QString& poolName, ushort uDrive, DWORD modifyMask, DWORD pieceSize)
{
    ZDriveVolume* volume = qobject_cast<ZDriveVolume*>(sender());
    if (!bSucceed) {
        if (!volume)
            return;
        const bool wasListed = std::find(volumes.begin(), volumes.end(), volume) != volumes.end();
        volumes.remove(volume);
        releaseVolume(volume);
        // Nothing is said of the failed drive; but when it was the last one
        // still pending, the clients already connected learn that the rest
        // are ready, as a client connecting now would.
        if (wasListed && allVolumesAnnounced()) {
            qDebug() << "init all done!";
            broadcast(buildAllReady());
        }
        return;
    }

    if (volume)
        announcedVolumes.insert(volume);
    qDebug() << "init volume done :" << poolName << pieceSize << modifyMask;
    broadcast(buildVolumeReady(poolName, uDrive, int(pieceSize), modifyMask));

    if (allVolumesAnnounced()) {
        qDebug() << "init all done!";
        broadcast(buildAllReady());
    }
}

bool ZService::allVolumesAnnounced() const
{
    for (ZDriveVolume* volume : volumes) {
        if (!announcedVolumes.contains(volume))
            return false;
    }
    return true;
}

void ZService::onPieceAppended(ushort uDrive, DWORD pieceSize)
{
    LOG(DEBUG) << "piece appended!";
    broadcastPieceAppended(uDrive, pieceSize);
}

void ZService::onItemRemoved(ULONGLONG itemRef, DWORD modifyMask)
{
    broadcastItem(MessageItemRemoved, itemRef, modifyMask);
}

void ZService::onItemChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask)
{
    broadcastItemPair(MessageItemChanged, itemRef, newItemRef, modifyMask);
}

void ZService::onItemAppended(ULONGLONG itemRef, DWORD modifyMask)
{
    broadcastItem(MessageItemAppended, itemRef, modifyMask);
}

void ZService::onItemNameChanged(ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask)
{
    broadcastItemPair(MessageItemNameChanged, itemRef, newItemRef, modifyMask);
}

void ZService::broadcastPieceAppended(ushort drive, DWORD pieceSize)
{
    broadcast(buildPieceAppended(drive, pieceSize));
}

void ZService::broadcastItem(int type, ULONGLONG itemRef, DWORD modifyMask)
{
    broadcast(buildItem(type, itemRef, modifyMask));
}

void ZService::broadcastItemPair(int type, ULONGLONG itemRef, ULONGLONG newItemRef, DWORD modifyMask)
{
    broadcast(buildItemPair(type, itemRef, newItemRef, modifyMask));
}

void ZService::broadcastListenFailed(DWORD reason, ushort drive)
{
    broadcast(buildListenFailed(reason, drive));
}

int runService(int argc, char** argv)
{
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        {
            ZService service;
            // A signal that comes during the start waits in the pipe for the loop.
            const ZStopSignals stopSignals([&service](int signal) {
                LOG(INFO) << "signal " << signal << ": stopping";
                service.quitOrderly();
            });
            if (service.start()) {
                QCoreApplication::instance()->installNativeEventFilter(&service);
                result = QCoreApplication::exec();
            } else if (service.failedToStart()) {
                result = ZService::kStartFailedExitCode;
            }
            service.stop();
            // Let the stopped threads end and their objects (and the shared
            // memory of their pools) go before the process's statics do.
            service.waitForRetiredVolumes(kVolumeShutdownWaitMs);
            QCoreApplication::sendPostedEvents(nullptr, 0);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            // The devices go now, while the log still runs: a directory
            // drive writes what it keeps for the next run as it closes.
            Platform::ZDriveTable::instance().clear();
            retireOwnSegmentLedger();
        }
    }
    return result;
}

} // namespace SearchEngine
