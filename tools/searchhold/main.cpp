// searchhold: a permanent client of the search service. The service ends
// when its last client leaves; this one keeps one connection open, reads and
// drops what the service sends, and connects again whenever the connection
// ends or cannot be made, so the service started at boot stays running.
// systemd starts and stops it with the service (searchhold.service).
#include "client/ZServicePeer.h"
#include "wire/ZServiceLocation.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QTimer>

#include <cstdio>

namespace {

// How long a lost or refused connection waits before the next try: short,
// because a restarted service that another client reaches first ends again
// when that client leaves.
constexpr int kReconnectDelayMs = 100;

class Holder : public QObject {
public:
    Holder()
    {
        retry_.setSingleShot(true);
        retry_.setInterval(kReconnectDelayMs);
        connect(&retry_, &QTimer::timeout, this, &Holder::tryConnect);
        connect(&socket_, &QLocalSocket::connected, this, &Holder::onConnected);
        // The stream is one-way and of no use here: it is read and dropped,
        // so that the service never finds this client lagging.
        connect(&socket_, &QLocalSocket::readyRead, this, [this] { socket_.readAll(); });
        connect(&socket_, &QLocalSocket::disconnected, this, &Holder::onLost);
        // A failed connect reports its error while the socket still says it
        // is connecting: every error means trying again later.
        connect(&socket_, &QLocalSocket::errorOccurred, this, &Holder::onLost);
    }

    void tryConnect()
    {
        socket_.abort();
        socket_.connectToServer(SearchEngine::ZServiceLocation::socketPath());
    }

private:
    void onConnected()
    {
        SearchEngine::SegmentOwner peer;
        QString why;
        if (!SearchEngine::trustedServicePeer(socket_.socketDescriptor(), &peer, &why)) {
            say(why);
            socket_.abort();
            return;
        }
        say(QStringLiteral("connected to %1").arg(socket_.fullServerName()));
        connected_ = true;
    }

    void onLost()
    {
        if (connected_)
            say(QStringLiteral("the service closed the connection; connecting again"));
        connected_ = false;
        if (!retry_.isActive())
            retry_.start();
    }

    static void say(const QString& line)
    {
        std::fprintf(stderr, "searchhold: %s\n", qPrintable(line));
        std::fflush(stderr);
    }

    QLocalSocket socket_;
    QTimer retry_;
    bool connected_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Holder holder;
    holder.tryConnect();
    return QCoreApplication::exec();
}
