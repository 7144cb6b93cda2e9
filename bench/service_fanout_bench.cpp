// Timing program: the service relaying a burst of file changes to many
// clients. One drive C: is indexed by a real volume thread: by default a live
// directory volume of a fresh temporary tree, whose files are created on disk
// (open + close); with "emulated", an emulated NTFS volume whose files are
// created in memory. N clients (default 64) connect from a thread of their
// own; a writer thread then creates M files (default 100,000) on the drive as
// fast as it can. Prints the changes per second delivered to every client,
// and the latency from each change (on disk, or on the emulated volume) to
// its message at a client (median and 99th percentile over every client and
// change).
//
//   service_fanout_bench [clients] [changes] [live|emulated]
#include "client/ZMessageDecoder.h"
#include "wire/ZServiceLocation.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "devices/live/ZLiveDirectoryVolume.h"
#include "service/ZSearchEngineService.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using SearchEngine::ZClientMessage;
using SearchEngine::ZMessageDecoder;

namespace {

constexpr DWORD kRootRecord = 5;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Every client of the benchmark, all living on one thread.
class Clients : public QObject {
public:
    Clients(int count, int changes) : changes_(changes)
    {
        for (int i = 0; i < count; ++i)
            state_.push_back(std::make_unique<State>());
    }

    // Runs on the clients' thread.
    void open()
    {
        for (auto& s : state_) {
            State* st = s.get();
            st->received.reserve(size_t(changes_));
            st->socket = new QLocalSocket(this);
            connect(st->socket, &QLocalSocket::readyRead, this, [this, st]() { read(*st); });
            st->socket->connectToServer(SearchEngine::ZServiceLocation::socketPath());
            st->socket->waitForConnected(5000);
        }
    }

    bool allReady() const { return ready_.load() == int(state_.size()); }
    bool allDone() const { return done_.load() == int(state_.size()); }
    int malformed() const
    {
        int n = 0;
        for (const auto& s : state_)
            n += s->decoder.malformedCount();
        return n;
    }

    // Receive times of every client, by change index.
    std::vector<std::vector<std::int64_t>> receiveTimes() const
    {
        std::vector<std::vector<std::int64_t>> out;
        for (const auto& s : state_)
            out.push_back(s->received);
        return out;
    }

private:
    struct State {
        QLocalSocket* socket = nullptr;
        ZMessageDecoder decoder;
        std::vector<std::int64_t> received;
        bool ready = false;
    };

    void read(State& st)
    {
        st.decoder.feed(st.socket->readAll());
        const std::int64_t t = nowNs();
        ZClientMessage m;
        while (st.decoder.next(m)) {
            if (m.type == SearchEngine::MessageAllReady && !st.ready) {
                st.ready = true;
                ++ready_;
            } else if (m.type == SearchEngine::MessageItemAppended && int(st.received.size()) < changes_) {
                st.received.push_back(t);
                if (int(st.received.size()) == changes_)
                    ++done_;
            }
        }
    }

    int changes_;
    std::vector<std::unique_ptr<State>> state_;
    std::atomic<int> ready_{0};
    std::atomic<int> done_{0};
};

double percentile(std::vector<std::int64_t>& v, double p)
{
    if (v.empty())
        return 0;
    const size_t k = std::min(v.size() - 1, size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
    return double(v[k]) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int clientCount = argc > 1 ? std::atoi(argv[1]) : 64;
    const int changes = argc > 2 ? std::atoi(argv[2]) : 100000;
    const bool live = argc <= 3 || std::strcmp(argv[3], "live") == 0;
    if (clientCount <= 0 || changes <= 0 || (argc > 3 && !live && std::strcmp(argv[3], "emulated") != 0)) {
        std::fprintf(stderr, "usage: service_fanout_bench [clients] [changes] [live|emulated]\n");
        return 2;
    }

    // Private folders: no real settings, caches, sockets or segments touched.
    QTemporaryDir temp;
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                 "TMPDIR"})
        setenv(variable, temp.path().toLocal8Bit().constData(), 1);

    QCoreApplication app(argc, argv);

    // The drive and the writer's one change: file i created on it.
    std::shared_ptr<Platform::ZVolumeDevice> drive;
    std::function<void(int)> createFile;
    const char* source = "emulated";
    std::string treeRoot;
    if (live) {
        const QString root = temp.path() + QStringLiteral("/drive");
        QDir().mkpath(root);
        treeRoot = QFile::encodeName(root).toStdString();
        QString error;
        auto volume = Platform::ZLiveDirectoryVolume::open(root, {}, &error);
        if (!volume) {
            std::fprintf(stderr, "the live volume did not open: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        source = volume->sourceName();
        drive = volume;
        createFile = [&treeRoot](int i) {
            const std::string path = treeRoot + "/bench-" + std::to_string(i);
            const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
            else
                std::perror(path.c_str());
        };
    } else {
        auto volume = std::make_shared<Platform::ZEmulatedNtfsVolume>();
        drive = volume;
        createFile = [volume](int i) {
            volume->createFile(kRootRecord, QStringLiteral("bench-%1").arg(i).toStdU16String());
        };
    }
    Platform::ZDriveTable::instance().clear();
    Platform::ZDriveTable::instance().setDrive('C', drive);

    SearchEngine::ZService service;
    if (!service.start()) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    QThread clientThread;
    clientThread.start();
    auto* clients = new Clients(clientCount, changes);
    clients->moveToThread(&clientThread);
    QMetaObject::invokeMethod(clients, [clients]() { clients->open(); }, Qt::QueuedConnection);

    std::vector<std::int64_t> created(size_t(changes), 0);
    std::int64_t burstStart = 0;
    std::int64_t burstEnd = 0;
    QThread* writer = nullptr;

    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (!writer && clients->allReady()) {
            writer = QThread::create([&]() {
                burstStart = nowNs();
                for (int i = 0; i < changes; ++i) {
                    created[size_t(i)] = nowNs();
                    createFile(i);
                }
                burstEnd = nowNs();
            });
            writer->start();
        }
        if (clients->allDone())
            QCoreApplication::quit();
    });
    poll.start();
    QCoreApplication::exec();
    const std::int64_t deliveredAll = nowNs();

    writer->wait();
    delete writer;
    std::vector<std::vector<std::int64_t>> receiveTimes;
    int malformed = 0;
    QMetaObject::invokeMethod(
        clients,
        [&]() {
            receiveTimes = clients->receiveTimes();
            malformed = clients->malformed();
            delete clients;
        },
        Qt::BlockingQueuedConnection);
    clientThread.quit();
    clientThread.wait();

    std::vector<std::int64_t> latencies;
    latencies.reserve(size_t(clientCount) * size_t(changes));
    for (const auto& times : receiveTimes)
        for (size_t i = 0; i < times.size(); ++i)
            latencies.push_back(times[i] - created[i]);

    const double burstSeconds = double(burstEnd - burstStart) / 1e9;
    const double deliverySeconds = double(deliveredAll - burstStart) / 1e9;
    std::printf("drive C: %s (%s), clients %d, changes %d\n", live ? "live directory" : "emulated NTFS", source,
                clientCount, changes);
    std::printf("burst written in %.2f s (%.0f changes/s on the drive)\n", burstSeconds, changes / burstSeconds);
    std::printf("delivered to every client in %.2f s: %.0f changes/s per client, %.0f messages/s in all\n",
                deliverySeconds, changes / deliverySeconds, double(changes) * clientCount / deliverySeconds);
    std::printf("latency change -> client: median %.1f ms, p99 %.1f ms (%zu samples)\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size());
    std::printf("malformed messages: %d\n", malformed);

    service.stop();
    service.waitForRetiredVolumes(5000);
    return 0;
}
