// searchclient: a command-line client of the search service.
//
//   searchclient --watch            print every message of the service as it arrives
//   searchclient search TERM        print the full path of every indexed name
//                                   containing TERM (ASCII case ignored)
//   searchclient search TERM --watch   ... then keep printing names containing
//                                   TERM as they are added (+) or removed (-)
//
// The service ends when its last client disconnects; keep a --watch client
// running beside it to keep it up.
#include "client/ZMessageDecoder.h"
#include "wire/ZServiceLocation.h"
#include "client/ZServicePeer.h"
#include "client/ZSharedPoolReader.h"
#include "wire/ZWireProtocol.h"

#include <QCoreApplication>
#include <QHash>
#include <QLocalSocket>
#include <QTextStream>
#include <QTimer>

#include <map>
#include <memory>

using namespace SearchEngine;

namespace {

constexpr DWORD kRootRecordNumber = 5;
constexpr DWORD kDirectoryAttribute = 0x10;
// Deeper than any real tree; ends a walk through a corrupt parent chain.
constexpr int kMaxPathDepth = 512;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kDefaultReadyTimeoutSeconds = 600;

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

int usage()
{
    err() << "usage: searchclient --watch\n"
             "       searchclient search TERM [--watch] [--timeout SECONDS]\n";
    err().flush();
    return 2;
}

// One drive's index as the client sees it: the attached pool and the
// folders by record number, for full paths.
struct DriveIndex {
    ushort drive = 0;
    std::unique_ptr<ZSharedPoolReader> reader;
    struct Folder {
        DWORD parent;
        QString name;
    };
    QHash<DWORD, Folder> folders;

    // Only the pieces the service announced, made by the service itself.
    void load(const QString& poolName, int pieceCount, const SegmentOwner& service)
    {
        reader.reset(new ZSharedPoolReader(poolName, drive, service));
        reader->setAnnouncedPieces(pieceCount);
        reader->attachPieces(pieceCount);
        refreshFolders();
    }

    void refreshFolders()
    {
        folders.clear();
        reader->forEachLiveItem([this](const ZItemSnapshot& item) {
            if ((item.attributes & kDirectoryAttribute) && !folders.contains(item.recordNumber))
                folders.insert(item.recordNumber, Folder{item.parentRecordNumber, item.fileName()});
            return true;
        });
    }

    QString pathOf(const ZItemSnapshot& item) const
    {
        QStringList parts{item.fileName()};
        DWORD at = item.parentRecordNumber;
        for (int depth = 0; at != kRootRecordNumber; ++depth) {
            const auto it = folders.constFind(at);
            if (it == folders.constEnd() || depth >= kMaxPathDepth || it->parent == at) {
                parts.prepend(QStringLiteral("?"));
                break;
            }
            parts.prepend(it->name);
            at = it->parent;
        }
        return QString(QChar(drive)) + QStringLiteral(":\\") + parts.join(QLatin1Char('\\'));
    }
};

class Client : public QObject {
public:
    enum Mode { Watch, Search };

    Client(Mode mode, const QString& term, bool follow, int readyTimeoutSeconds)
        : mode_(mode), term_(term), follow_(follow)
    {
        connect(&socket_, &QLocalSocket::readyRead, this, &Client::onReadyRead);
        connect(&socket_, &QLocalSocket::disconnected, this, [this]() {
            err() << "the service closed the connection\n";
            err().flush();
            QCoreApplication::exit(ready_ || mode_ == Watch ? 0 : 1);
        });
        if (mode_ == Search) {
            QTimer::singleShot(readyTimeoutSeconds * 1000, this, [this]() {
                if (!ready_) {
                    err() << "the service did not finish indexing in time; searching what is ready\n";
                    searchAll();
                    finish();
                }
            });
        }
    }

    bool connectToService()
    {
        socket_.connectToServer(SearchEngine::ZServiceLocation::socketPath());
        if (!socket_.waitForConnected(kConnectTimeoutMs)) {
            if (socket_.error() == QLocalSocket::ServerNotFoundError)
                err() << "the search service is not running\n";
            else
                err() << "cannot connect to the search service: " << socket_.errorString() << "\n";
            err().flush();
            return false;
        }
        QString why;
        if (!trustedServicePeer(socket_.socketDescriptor(), &service_, &why)) {
            err() << why << "\n";
            err().flush();
            QObject::disconnect(&socket_, nullptr, this, nullptr);
            socket_.abort();
            return false;
        }
        return true;
    }

private:
    void onReadyRead()
    {
        decoder_.feed(socket_.readAll());
        ZClientMessage m;
        while (decoder_.next(m))
            handle(m);
        if (decoder_.malformedCount() != reportedMalformed_) {
            err() << "skipped " << decoder_.malformedCount() - reportedMalformed_ << " malformed message(s)\n";
            reportedMalformed_ = decoder_.malformedCount();
        }
        out().flush();
        err().flush();
    }

    void handle(const ZClientMessage& m)
    {
        if (mode_ == Watch) {
            out() << describeMessage(m) << "\n";
            return;
        }
        switch (m.type) {
        case MessageVolumeReady: {
            DriveIndex& index = drives_[m.drive];
            index.drive = m.drive;
            index.load(m.poolName, m.pieceCount, service_);
            break;
        }
        case MessagePieceAppended: {
            auto it = drives_.find(m.drive);
            if (it != drives_.end() && it->second.reader)
                it->second.reader->setAnnouncedPieces(int(m.pieceSize));   // the drive's piece count now
            break;
        }
        case MessageAllReady:
            if (!ready_) {
                searchAll();
                finish();
            }
            break;
        case MessageItemAppended:
            if (ready_)
                reportItem('+', m.itemRef);
            break;
        case MessageItemNameChanged:
            if (ready_) {
                reportItem('-', m.itemRef);
                reportItem('+', m.newItemRef);
            }
            break;
        case MessageItemRemoved:
            if (ready_)
                reportItem('-', m.itemRef);
            break;
        case MessageListenFailed:
            err() << "drive " << QChar(m.drive) << ": can no longer be followed (error " << m.reason << ")\n";
            drives_.erase(m.drive);
            break;
        default:
            break;
        }
    }

    void searchAll()
    {
        ready_ = true;
        for (auto& entry : drives_) {
            DriveIndex& index = entry.second;
            index.reader->attachPieces(-1);
            index.refreshFolders();
            for (const ZItemSnapshot& item : index.reader->findNames(term_))
                out() << index.pathOf(item) << "\n";
        }
        out().flush();
    }

    void finish()
    {
        if (!follow_)
            QCoreApplication::exit(0);
    }

    // A name added or removed after the search, when it contains the term.
    void reportItem(char sign, ULONGLONG itemRef)
    {
        const ushort drive = ushort(itemRef >> 48);
        auto it = drives_.find(drive);
        if (it == drives_.end())
            return;
        DriveIndex& index = it->second;
        ZItemSnapshot item;
        if (index.reader->readItem(itemRef, &item) != ZSharedPoolReader::ReadOk)
            return;
        if (sign == '+' && (item.attributes & kDirectoryAttribute))
            index.folders.insert(item.recordNumber, DriveIndex::Folder{item.parentRecordNumber, item.fileName()});
        if (!ZSharedPoolReader::containsIgnoringAsciiCase(item.name, term_.toUtf8()))
            return;
        out() << sign << " " << index.pathOf(item) << "\n";
    }

    Mode mode_;
    QString term_;
    bool follow_;
    bool ready_ = false;
    int reportedMalformed_ = 0;
    QLocalSocket socket_;
    SegmentOwner service_;
    ZMessageDecoder decoder_;
    std::map<ushort, DriveIndex> drives_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    bool watch = false;
    int timeout = kDefaultReadyTimeoutSeconds;
    for (int i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--watch")) {
            watch = true;
            args.removeAt(i);
        } else if (args[i] == QLatin1String("--timeout") && i + 1 < args.size()) {
            bool ok = false;
            timeout = args[i + 1].toInt(&ok);
            if (!ok || timeout <= 0)
                return usage();
            args.erase(args.begin() + i, args.begin() + i + 2);
        } else {
            ++i;
        }
    }

    std::unique_ptr<Client> client;
    if (args.isEmpty() && watch)
        client.reset(new Client(Client::Watch, QString(), true, timeout));
    else if (args.size() == 2 && args[0] == QLatin1String("search") && !args[1].isEmpty())
        client.reset(new Client(Client::Search, args[1], watch, timeout));
    else
        return usage();

    if (!client->connectToService())
        return 1;
    return QCoreApplication::exec();
}
