// Helpers for the service's in-process tests: an application object, volumes
// whose thread body the test controls, a drive table of placeholder devices,
// and a client that decodes what the service sends.
#pragma once

#include "client/ZMessageDecoder.h"
#include "frame/ZSettings.h"
#include "platform/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/ZVolumeDevice.h"
#include "platform/win32_file.h"
#include "service/ZSearchEngineService.h"
#include "volume/ZDriveVolume.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

namespace ServiceTestKit {

using SearchEngine::ZClientMessage;

inline QCoreApplication& app()
{
    static int argc = 1;
    static char name[] = "service_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// Runs the event loop until done() holds or timeoutMs passed.
template <typename Pred>
bool spinUntil(Pred done, int timeoutMs = 3000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // Outside an event loop deleteLater needs an explicit push.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

inline void spinFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The log file of this test program, beside its executable.
inline QString logFilePath()
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QFileInfo target(exe.symLinkTarget());
    return target.absolutePath() + QStringLiteral("/log/") + target.completeBaseName() + QLatin1Char('.')
        + target.fileName() + QStringLiteral(".log");
}

inline qint64 logSize()
{
    return QFileInfo(logFilePath()).size();
}

// What the log gained since it was `from` bytes long.
inline QByteArray logSince(qint64 from)
{
    QFile f(logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        return QByteArray();
    return f.readAll();
}

// Journal reads wait for their time-out, and retries sleep, on the clock
// seam: while installed, the manual clock moves half a second every 10 ms of
// real time that the test spends in the event loop.
class ClockTicker {
public:
    static constexpr int kTickRealMs = 10;
    static constexpr int kTickClockMs = 500;

    ClockTicker()
    {
        Platform::setClock(&clock);
        timer.setInterval(kTickRealMs);
        QObject::connect(&timer, &QTimer::timeout, [this] { clock.advance(kTickClockMs); });
        timer.start();
    }
    ~ClockTicker()
    {
        timer.stop();
        Platform::setClock(nullptr);
    }

    Platform::ZManualClock clock;
    QTimer timer;
};

// A started service whose volumes are made by the product's factory, taken
// down with its single-instance guard released.
class RealService {
public:
    RealService() { started = service.start(); }
    ~RealService()
    {
        service.stop();
        service.waitForRetiredVolumes(5000);
        CloseHandle(service.instanceMutexHandle());
        service.close();
        QCoreApplication::sendPostedEvents(nullptr, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    SearchEngine::ZService service;
    bool started = false;
};

// A volume whose thread ends at once; the test emits its signals.
class FakeVolume : public SearchEngine::ZDriveVolume {
public:
    explicit FakeVolume(unsigned short letter) : ZDriveVolume(letter) {}

    // What the real thread does when it announces its drive.
    void announce(DWORD modifyMask = 0, DWORD pieces = 1)
    {
        initDoneFlag = true;
        emit initDone(true, poolName(), drive(), modifyMask, pieces);
    }
    void fail()
    {
        initDoneFlag = true;
        emit initDone(false, poolName(), drive(), 0, 0);
    }

protected:
    void run() override {}
};

// Stands in for a drive in the table; the fake volumes never open it.
class PlaceholderDevice : public Platform::ZVolumeDevice {
public:
    bool volumeInformation(Platform::VolumeInformation&) override { return false; }
    BOOL deviceIoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) override { return FALSE; }
    BOOL read(ULONGLONG, void*, DWORD, DWORD*) override { return FALSE; }
};

inline void setDrives(const std::u16string& letters)
{
    auto& table = Platform::ZDriveTable::instance();
    table.clear();
    for (char16_t l : letters)
        table.setDrive(l, std::make_shared<PlaceholderDevice>());
}

inline void clearStartSettings()
{
    settingsStore().remove(QStringLiteral("SearchServiceLastInitTime"));
    settingsStore().remove(QStringLiteral("SearchServiceInitTimes"));
    settingsStore().remove(QStringLiteral("SearchServiceQuitReason"));
}

inline int initTimes()
{
    // Another process may have written the file meanwhile.
    settingsStore().sync();
    return settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt();
}

// A service made of fake volumes, started, and taken down by the destructor
// with its single-instance guard released so the next test can start again.
class ServiceUnderTest {
public:
    explicit ServiceUnderTest(const std::u16string& letters)
    {
        app();
        setDrives(letters);
        service.setVolumeFactory([this](ushort letter) {
            auto* v = new FakeVolume(letter);
            fakes.push_back(v);
            return v;
        });
        started = service.start();
    }
    ~ServiceUnderTest()
    {
        service.stop();
        service.waitForRetiredVolumes(2000);
        CloseHandle(service.instanceMutexHandle());
        service.close();
        QCoreApplication::sendPostedEvents(nullptr, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    FakeVolume* volume(char16_t letter)
    {
        for (const QPointer<FakeVolume>& v : fakes)
            if (v && v->drive() == letter)
                return v.data();
        return nullptr;
    }

    SearchEngine::ZService service;
    std::vector<QPointer<FakeVolume>> fakes;
    bool started = false;
};

// A client of the service's local server that decodes every message.
class TestClient {
public:
    TestClient()
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this]() {
            decoder.feed(socket.readAll());
            ZClientMessage m;
            while (decoder.next(m))
                messages.push_back(m);
        });
    }

    bool connectTo(SearchEngine::ZService& service)
    {
        const int before = service.clientList().size();
        socket.connectToServer(QLatin1String(SearchEngine::ZService::kServerName));
        if (!socket.waitForConnected(2000))
            return false;
        return spinUntil([&] { return service.clientList().size() > before; });
    }

    // Connects to whatever serves the service's name (another process).
    bool connectByName(int timeoutMs = 2000)
    {
        socket.connectToServer(QLatin1String(SearchEngine::ZService::kServerName));
        return socket.waitForConnected(timeoutMs);
    }

    bool waitForMessages(size_t count, int timeoutMs = 3000)
    {
        return spinUntil([&] { return messages.size() >= count; }, timeoutMs);
    }

    bool hasAllReady() const
    {
        for (const auto& m : messages)
            if (m.type == ZClientMessage::AllReady)
                return true;
        return false;
    }

    std::vector<int> types() const
    {
        std::vector<int> t;
        for (const auto& m : messages)
            t.push_back(m.type);
        return t;
    }

    QLocalSocket socket;
    SearchEngine::ZMessageDecoder decoder;
    std::vector<ZClientMessage> messages;
};

} // namespace ServiceTestKit
