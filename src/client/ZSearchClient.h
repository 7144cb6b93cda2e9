// searchclient: find file and folder names in the index of the search
// service, and follow its changes. Installed as <searchclient/ZSearchClient.h>;
// link the library "searchclient" (CMake: find_package(searchclient),
// target searchclient::searchclient; pkg-config: searchclient).
//
//   SearchEngine::ZSearchClient client;
//   if (!client.connectToService() || !client.waitForDrives())
//       qFatal("%s", qPrintable(client.errorString()));
//   SearchEngine::ZSearchQuery query;
//   query.patterns = QStringList{"report"};
//   client.search(query, [](const SearchEngine::ZSearchHit& hit) {
//       puts(hit.path.constData());
//       return true;   // false stops the search
//   });
//
// The index lives in shared memory that only the service's user and group
// may read: a program reads it as root, as the service's user, or as a
// member of the group "searchservice". Paths are bytes as they are on disk.
// Results are what the calling user could list: a name inside a folder the
// real user may not search is never given (root sees everything).
// A ZSearchClient is used from one thread; it needs a QCoreApplication only
// for follow(), which blocks on the socket, not on an event loop.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace SearchEngine {

// What to look for. Every pattern must match.
struct ZSearchQuery {
    QStringList patterns;
    bool ignoreCase = false;    // Unicode case folding, not only ASCII
    bool nameOnly = false;      // match the name; by default the whole path
    bool regex = false;         // patterns are QRegularExpression patterns
    bool existingOnly = false;  // only names that still exist on disk
    qint64 limit = -1;          // at most this many hits (-1: all)
    bool pathsNeeded = true;    // false: hits carry no path (counting)
};

// One name found.
struct ZSearchHit {
    quint64 itemRef = 0;        // the record's reference (see resolve)
    ushort drive = 0;           // the drive letter ('C')
    bool isFolder = false;
    QByteArray path;            // the real path (directory drives), "image:/path" (image drives)
    bool pathVerified = true;   // false: a name stored lossily that its folder no longer holds
};

// One change followed after the search.
struct ZSearchChange {
    enum Kind { Added, Removed, DriveLost };
    Kind kind = Added;
    ZSearchHit item;            // for DriveLost only item.drive is set
};

class ZSearchClient {
public:
    enum Error {
        NoError,
        NotRunning,          // nothing serves the socket
        NotTrusted,          // the socket's owner is neither root nor this user
        ConnectFailed,
        Disconnected,        // the service closed the connection
        MalformedMessage,    // the service sent bytes that are not its protocol
        PiecesUnavailable,   // a drive's index cannot be attached (permissions, gone)
        TimedOut,
        BadPattern,          // an invalid regular expression
    };

    ZSearchClient();
    ~ZSearchClient();
    ZSearchClient(const ZSearchClient&) = delete;
    ZSearchClient& operator=(const ZSearchClient&) = delete;

    // The library's version ("1.0.0").
    static QString version();

    // Connects to the service's socket and checks who serves it.
    bool connectToService(int timeoutMs = 5000);
    // Reads the service's messages until every drive is ready and attached.
    bool waitForDrives(int timeoutMs = 600000);
    // Whether path a comes before path b in the order locate prints them:
    // the names of one folder by their bytes, a folder's names before those
    // of the folders in it, and folders in the order of their paths compared
    // name by name ("a/x" before "a/b/y" before "a-c/z").
    static bool inLocateOrder(const QByteArray& a, const QByteArray& b);
    // Calls onHit for each match, in the index's order (the search command prints them
    // sorted by inLocateOrder); false stops. The number of hits, or -1
    // with error() set.
    qint64 search(const ZSearchQuery& query, const std::function<bool(const ZSearchHit&)>& onHit);
    // The path of the item a reference names (live or just removed).
    bool resolve(quint64 itemRef, ZSearchHit* hit);
    // Reads changes until onChange returns false, the service closes the
    // connection (false, Disconnected), a change lands in an announced piece
    // this process cannot attach (false, PiecesUnavailable) or timeoutMs
    // passes (-1: no limit).
    // With patterns, only matching names are given.
    bool follow(const ZSearchQuery& query, const std::function<bool(const ZSearchChange&)>& onChange,
                int timeoutMs = -1);
    // With tracking on, search() and follow() keep every path they give as
    // present, and follow() gives each change against them: a Removed only
    // for a path given, an Added only for one not given, and a folder
    // renamed or moved takes every given path below it along (its old paths
    // go, its new ones come as the query takes them). A watcher's screen so
    // stays what the index holds, even when the index has moved on past the
    // changes read (`mv build old && rm -rf old`). Off by default: it holds
    // every path given.
    void setTrackGivenPaths(bool on);
    // Every message as one line of text, as it arrives (for diagnostics).
    void setMessageObserver(const std::function<void(const QString&)>& observer);
    // Whether results are checked against what the real user may reach
    // (on by default; root is never limited).
    void setReachCheck(bool on);

    Error error() const;
    QString errorString() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace SearchEngine
