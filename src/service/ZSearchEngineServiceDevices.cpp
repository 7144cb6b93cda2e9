// Lost drives: a volume whose journal monitor gave up, and the log of the
// system's device-change messages.
#include "service/ZSearchEngineService.h"

#include "frame/ZLog.h"
#include "volume/ZDriveVolume.h"
#include "win32/ZClock.h"
#include "win32/win32_devicechange.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace SearchEngine {

namespace {

// How often a delay on the clock looks at the time.
constexpr int kClockCheckMs = 50;

// Calls act once ms have passed on the clock seam (a test's clock decides
// when), unless context is gone first.
void afterClockDelay(QObject* context, ULONGLONG ms, std::function<void()> act)
{
    const ULONGLONG due = Platform::clock().tickMs() + ms;
    auto* timer = new QTimer(context);
    timer->setInterval(kClockCheckMs);
    QObject::connect(timer, &QTimer::timeout, context, [timer, due, act = std::move(act)] {
        if (Platform::clock().tickMs() < due)
            return;
        timer->stop();
        timer->deleteLater();
        act();
    });
    timer->start();
}

} // namespace

void ZService::onListenFailed(DWORD reason)
{
    ZDriveVolume* volume = qobject_cast<ZDriveVolume*>(sender());
    if (!volume)
        return;
    const ushort letter = volume->drive();
    broadcastListenFailed(reason, letter);

    switch (reason) {
    case ERROR_INVALID_PARAMETER:
        // The journal cannot be read with its parameters: restart the whole
        // service. The exit is not orderly, so it counts in the restart policy.
        afterClockDelay(QCoreApplication::instance(), kListenFailedDelayMs,
                        [] { QCoreApplication::exit(kJournalFailedExitCode); });
        break;
    case ERROR_NOT_READY:
        qDebug() << "移动硬盘拔出:" << letter;
        removeVolumeLater(volume);
        break;
    default:
        break;
    }
}

void ZService::removeVolumeLater(ZDriveVolume* volume)
{
    const QPointer<ZDriveVolume> guard(volume);
    afterClockDelay(this, kListenFailedDelayMs, [this, guard]() {
        // Gone already if the service was stopped meanwhile.
        if (!guard || std::find(volumes.begin(), volumes.end(), guard.data()) == volumes.end())
            return;
        volumes.remove(guard.data());
        releaseVolume(guard.data());
    });
}

bool ZService::nativeEventFilter(const QByteArray& eventType, void* message, long* result)
{
    if (eventType != "windows_dispatcher_MSG" && eventType != "windows_generic_MSG")
        return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (!msg || msg->message != WM_DEVICECHANGE)
        return false;

    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(msg->lParam);
    const bool isVolume = header && header->dbch_devicetype == DBT_DEVTYP_VOLUME;
    switch (msg->wParam) {
    case DBT_DEVNODES_CHANGED:
        LOG(DEBUG) << "DBT_DEVNODES_CHANGED";
        break;
    case DBT_DEVICEARRIVAL:
        if (isVolume) {
            LOG(DEBUG) << "DBT_DEVICEARRIVAL";
        }
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        if (isVolume) {
            LOG(DEBUG) << "DBT_DEVICEREMOVECOMPLETE";
        }
        break;
    case DBT_CUSTOMEVENT:
        if (isVolume) {
            LOG(DEBUG) << "DBT_CUSTOMEVENT";
        }
        break;
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEQUERYREMOVEFAILED:
    case DBT_DEVICEREMOVEPENDING:
        break;
    default:
        LOG(DEBUG) << "DBT_WPARAM";
        break;
    }
    return false;
}

} // namespace SearchEngine
