// Helpers for the service's tests: an application object, volumes whose
// thread body the test controls, a drive table of placeholder devices, a
// client that decodes what the service sends, and a fake server in its place.
#pragma once

#include "client/ZMessageDecoder.h"
#include "wire/ZServiceLocation.h"
#include "frame/ZSettings.h"
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "devices/ZVolumeDevice.h"
#include "platform/win32_file.h"
#include "platform/win32_registry.h"
#include "service/ZSearchEngineService.h"
#include "storage/ZSharedSegment.h"
#include "volume/ZDriveVolume.h"

#include "support/ZHeldChild.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
    for (QDeadlineTimer t(ms); !t.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Runs the application's event loop until something ends it with exitCode; false
// otherwise, or when it had to be ended by the time-out.
inline bool quitsWithin(int ms, int exitCode = 0)
{
    bool timedOut = false;
    QObject guard;   // the time-out dies with this call, never firing later
    QTimer::singleShot(ms, &guard, [&] {
        timedOut = true;
        QCoreApplication::exit(99);
    });
    return QCoreApplication::exec() == exitCode && !timedOut;
}

// This test program's log file (beside its executable), its size, and what
// it gained since it was `from` bytes long.
inline QString logFilePath()
{
    const QFileInfo exe(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget());
    return exe.absolutePath() + QStringLiteral("/log/") + exe.completeBaseName() + '.' + exe.fileName() + ".log";
}
inline qint64 logSize() { return QFileInfo(logFilePath()).size(); }
inline QByteArray logSince(qint64 from)
{
    QFile f(logFilePath());
    return f.open(QIODevice::ReadOnly) && f.seek(from) ? f.readAll() : QByteArray();
}

// DEBUG lines are written only with the machine's LogLevel at 0; set it in
// this process's private registry before the first log statement.
inline bool enableDebugLog()
{
    const QString hive = Platform::registryHivePath(HKEY_LOCAL_MACHINE);
    QDir().mkpath(QFileInfo(hive).absolutePath());
    QFile ini(hive);
    return ini.open(QIODevice::WriteOnly) && ini.write("[software/orvanta/antivirus/sysopt]\nLogLevel=0\n") > 0;
}

// The drive table folder of this test's private configuration, and the service's socket file.
inline QString dosdevices() { return QFile::decodeName(qgetenv("XDG_CONFIG_HOME")) + "/orvanta/dosdevices"; }
inline QString socketPath() { return SearchEngine::ZServiceLocation::socketPath(); }

// Links drive `name` ("c:", or "n::" for an image) of the drive table to target.
inline bool linkDrive(const QString& target, const QString& name)
{
    QDir().mkpath(dosdevices());
    QFile::remove(dosdevices() + '/' + name);
    return QFile::link(target, dosdevices() + '/' + name);
}

// Makes the file at path, and the folders above it, holding one byte.
inline bool writeFile(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
}

// The segment key files in folder.
inline QStringList segmentKeyFiles(const QString& folder)
{
    QStringList found;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::System))
        if (SearchEngine::isSegmentKeyFileName(name))
            found << folder + '/' + name;
    return found;
}

// A program built beside the test program.
inline QString builtProgram(const char* name)
{
    return QCoreApplication::applicationDirPath() + '/' + QLatin1String(name);
}

struct Ran {
    int code = -1;   // -1: it crashed or was still running at the time-out
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end while this thread serves the event loop (and
// so a service in this process).
inline Ran runServing(const QString& program, const QStringList& args, int timeoutMs = 30000,
                      const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    const bool ended = spinUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    const bool normal = ended && p.exitStatus() == QProcess::NormalExit;
    return Ran{normal ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// A started service with the product's volume factory, taken down with its
// single-instance guard released so the next test can start again.
class RealService {
public:
    explicit RealService(bool startNow = true)
    {
        app();
        if (startNow)
            started = service.start();
    }
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

    // What the real thread does when it announces its drive (or fails to).
    void announce(DWORD modifyMask = 0, DWORD pieces = 1, bool ok = true)
    {
        initDoneFlag = true;
        emit initDone(ok, poolName(), drive(), ok ? modifyMask : 0, ok ? pieces : 0);
    }
    void fail() { announce(0, 0, false); }

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

inline void clearStartSettings()
{
    for (const char* key : {"SearchServiceLastInitTime", "SearchServiceInitTimes", "SearchServiceQuitReason"})
        settingsStore().remove(QLatin1String(key));
    settingsStore().sync();   // a service process started next reads the file
}
inline int initTimes()
{
    settingsStore().sync();   // another process may have written the file meanwhile
    return settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt();
}

// A test with a service in this process: fresh start settings, an empty
// drive table and the clock seam moving half a second every 10 ms of real
// time the test spends in the event loop (journal reads wait for their
// time-out, and retries sleep, on it).
class ServiceDrivesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        clearStartSettings();
        Platform::ZDriveTable::instance().clear();
        Platform::setClock(&clock);
        QObject::connect(&ticker, &QTimer::timeout, [this] { clock.advance(500); });
        ticker.start(10);
    }
    void TearDown() override
    {
        ticker.stop();
        Platform::setClock(nullptr);
        Platform::ZDriveTable::instance().clear();
    }

    Platform::ZManualClock clock;
    QTimer ticker;
};

// A started service made of fake volumes on placeholder drives `letters`.
class ServiceUnderTest : public RealService {
public:
    explicit ServiceUnderTest(const std::u16string& letters) : RealService(false)
    {
        Platform::ZDriveTable::instance().clear();
        for (char16_t l : letters)
            Platform::ZDriveTable::instance().setDrive(l, std::make_shared<PlaceholderDevice>());
        service.setVolumeFactory([this](ushort letter) {
            auto* v = new FakeVolume(letter);
            fakes.push_back(v);
            return v;
        });
        started = service.start();
    }

    FakeVolume* volume(char16_t letter)
    {
        for (const QPointer<FakeVolume>& v : fakes)
            if (v && v->drive() == letter)
                return v.data();
        return nullptr;
    }

    std::vector<QPointer<FakeVolume>> fakes;
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
        return connectByName() && spinUntil([&] { return service.clientList().size() > before; });
    }

    // Connects to whatever serves the service's name (another process).
    bool connectByName(int timeoutMs = 2000)
    {
        socket.connectToServer(SearchEngine::ZServiceLocation::socketPath());
        return socket.waitForConnected(timeoutMs);
    }

    bool waitForMessages(size_t count, int timeoutMs = 3000)
    {
        return spinUntil([&] { return messages.size() >= count; }, timeoutMs);
    }

    // Copies the next message of one of `types` after position `at` into
    // *out and moves `at` past it; false when none came in time.
    bool next(size_t& at, std::initializer_list<int> types, ZClientMessage* out = nullptr, int timeoutMs = 10000)
    {
        return spinUntil(
            [&] {
                for (; at < messages.size(); ++at) {
                    if (std::find(types.begin(), types.end(), messages[at].type) != types.end()) {
                        if (out)
                            *out = messages[at];
                        ++at;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    }

    std::vector<int> types() const
    {
        std::vector<int> t;
        for (const auto& m : messages)
            t.push_back(m.type);
        return t;
    }
    bool hasAllReady() const
    {
        const std::vector<int> t = types();
        return std::find(t.begin(), t.end(), int(SearchEngine::MessageAllReady)) != t.end();
    }

    QLocalSocket socket;
    SearchEngine::ZMessageDecoder decoder;
    std::vector<ZClientMessage> messages;
};

// The address of the socket file at path.
inline sockaddr_un unixAddress(const QByteArray& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    return address;
}

// Something other than the service listening at a socket path, in a child
// process of this user or of the other user: every client that connects is
// sent `answer`, then hung up on or, without hangUp, kept connected and
// silent until release(). The socket file goes with it.
class FakeServer {
public:
    FakeServer(ZHeldChild::As user, const QByteArray& path, const QByteArray& answer, bool hangUp)
        : path_(path), answer_(answer), hangUp_(hangUp),
          child_(user, [this] { return listen(); }, [this](int releaseFd) { serve(releaseFd); })
    {
    }
    ~FakeServer() { release(); }

    bool listening() const { return child_.held; }
    void release()
    {
        child_.release();
        ::unlink(path_.constData());
    }

private:
    bool listen()
    {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un at = unixAddress(path_);
        return listener_ >= 0 && ::bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0
               && ::listen(listener_, 4) == 0;
    }
    // In the child: no allocation, the clients kept stay open until it ends.
    void serve(int releaseFd)
    {
        for (;;) {
            pollfd waits[2] = {{listener_, POLLIN, 0}, {releaseFd, POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 || waits[1].revents)
                return;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            // A client may be gone already.
            (void)!::send(client, answer_.constData(), size_t(answer_.size()), MSG_NOSIGNAL);
            if (hangUp_)
                ::close(client);
        }
    }

    const QByteArray path_;
    const QByteArray answer_;
    const bool hangUp_;
    int listener_ = -1;
    ZHeldChild child_;   // last: it forks once the fields above are set
};

} // namespace ServiceTestKit
