#include "client/ZSearchClient.h"

#include "client/ZDriveIndex.h"
#include "client/ZMessageDecoder.h"
#include "client/ZServicePeer.h"
#include "wire/ZPublishedDrives.h"
#include "wire/ZServiceLocation.h"
#include "wire/ZWireProtocol.h"
#include "win32/win32_types.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>

namespace SearchEngine {

namespace {

const char kLibraryVersion[] = "1.0.0";
// The published drive list is a few lines; more is not the service's file.
constexpr qint64 kMaxPublishedBytes = 64 * 1024;

// The service's drive list, when the service's own user wrote it and no one
// else can: opened without following links and checked as opened.
ZPublishedDriveMap readPublishedDrives(uid_t serviceUid)
{
    ZPublishedDriveMap drives;
    const int fd = ::open(QFile::encodeName(ZPublishedDrives::filePath()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return drives;
    struct stat st;
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ownedAndClosed(st, serviceUid)
        && st.st_size <= kMaxPublishedBytes) {
        text.resize(int(st.st_size));
        if (::read(fd, text.data(), size_t(text.size())) != text.size())
            text.clear();
    }
    ::close(fd);
    if (!ZPublishedDrives::parse(text, &drives))
        drives.clear();
    return drives;
}

} // namespace

struct ZSearchClient::Impl {
    QLocalSocket socket;
    ZMessageDecoder decoder;
    SegmentOwner service;
    bool allReady = false;
    bool reachCheck = true;
    Error error = NoError;
    QString errorText;
    std::map<ushort, std::unique_ptr<ZDriveIndex>> drives;
    ZPublishedDriveMap published;
    std::deque<ZClientMessage> changes;   // after every drive was ready, for follow()
    std::function<void(const QString&)> observer;
    bool trackGiven = false;
    std::set<QByteArray> given;           // with trackGiven: the paths given as present

    bool fail(Error e, const QString& text)
    {
        error = e;
        errorText = text;
        return false;
    }

    bool handle(const ZClientMessage& m)
    {
        if (observer)
            observer(describeMessage(m));
        switch (m.type) {
        case MessageVolumeReady: {
            if (!published.count(m.drive))
                published = readPublishedDrives(service.uid);
            const auto p = published.find(m.drive);
            auto index = std::make_unique<ZDriveIndex>(m.drive, m.poolName, service,
                                                       p == published.end() ? ZPublishedDrive() : p->second);
            index->setReachCheck(reachCheck);
            if (!index->attach(m.pieceCount))
                return fail(PiecesUnavailable, QStringLiteral("the index of drive %1: cannot be read (%2)")
                                                   .arg(QChar(m.drive), index->reader().attachError()));
            drives[m.drive] = std::move(index);
            break;
        }
        case MessageAllReady:
            allReady = true;
            break;
        case MessagePieceAppended: {
            const auto it = drives.find(m.drive);
            if (it != drives.end())
                it->second->reader().setAnnouncedPieces(int(m.pieceSize));
            break;
        }
        default:
            if (allReady)
                changes.push_back(m);
            break;
        }
        return true;
    }

    // Reads what has come, waiting up to the deadline for more; false when
    // the connection ended, the bytes are not the protocol, or time ran out.
    bool pump(const QDeadlineTimer& deadline)
    {
        if (socket.bytesAvailable() == 0 && socket.state() == QLocalSocket::ConnectedState)
            socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), INT_MAX)));
        const QByteArray bytes = socket.readAll();
        decoder.feed(bytes);
        ZClientMessage m;
        while (decoder.next(m))
            if (!handle(m))
                return false;
        if (decoder.malformedCount() > 0)
            return fail(MalformedMessage, QStringLiteral("the service sent %1 malformed message(s)")
                                              .arg(decoder.malformedCount()));
        if (bytes.isEmpty() && socket.state() != QLocalSocket::ConnectedState)
            return fail(Disconnected, QStringLiteral("the service closed the connection"));
        if (bytes.isEmpty() && deadline.hasExpired())
            return fail(TimedOut, QStringLiteral("the service did not answer in time"));
        return true;
    }

    bool compile(const ZSearchQuery& query, std::vector<ZNameMatcher>* matchers)
    {
        for (const QString& p : query.patterns) {
            matchers->emplace_back(p, query.ignoreCase, query.regex);
            if (!matchers->back().isValid())
                return fail(BadPattern, matchers->back().errorString());
        }
        return true;
    }

    ZDriveIndex* driveOf(quint64 itemRef)
    {
        const auto it = drives.find(itemRefDrive(itemRef));
        return it == drives.end() ? nullptr : it->second.get();
    }

    bool resolve(quint64 itemRef, ZSearchHit* hit, ZItemSnapshot* item)
    {
        ZDriveIndex* index = driveOf(itemRef);
        return index && index->reader().readItem(itemRef, item) == ZSharedPoolReader::ReadOk
               && index->hitOf(*item, true, hit);
    }
};

ZSearchClient::ZSearchClient() : d(new Impl) {}
ZSearchClient::~ZSearchClient() = default;

QString ZSearchClient::version()
{
    return QLatin1String(kLibraryVersion);
}

bool ZSearchClient::inLocateOrder(const QByteArray& a, const QByteArray& b)
{
    const char* const pa = a.constData();
    const char* const pb = b.constData();
    const size_t na = size_t(a.size());
    const size_t nb = size_t(b.size());
    const size_t n = std::min(na, nb);
    size_t i = 0;
    // Paths share long beginnings: eight bytes at a time up to the first difference.
    for (quint64 wa, wb; i + sizeof(wa) <= n; i += sizeof(wa)) {
        std::memcpy(&wa, pa + i, sizeof(wa));
        std::memcpy(&wb, pb + i, sizeof(wb));
        if (wa != wb)
            break;
    }
    while (i < n && pa[i] == pb[i])
        ++i;
    // Up to i the paths agree. A path with a separator at or after i lies in
    // a folder that goes on past i; one without lies in the folder they share.
    const bool aDeeper = std::memchr(pa + i, '/', na - i) != nullptr;
    const bool bDeeper = std::memchr(pb + i, '/', nb - i) != nullptr;
    if (aDeeper != bDeeper)
        return bDeeper;   // the shared folder's names come before those below
    if (aDeeper)          // two folders that part at i: a separator first
        return (pa[i] == '/' ? 0 : int(uchar(pa[i])) + 1) < (pb[i] == '/' ? 0 : int(uchar(pb[i])) + 1);
    // One folder: the names by their bytes, as strcmp orders them.
    return i == na ? na < nb : i < nb && uchar(pa[i]) < uchar(pb[i]);
}

bool ZSearchClient::connectToService(int timeoutMs)
{
    d->socket.connectToServer(ZServiceLocation::socketPath());
    if (!d->socket.waitForConnected(timeoutMs)) {
        if (d->socket.error() == QLocalSocket::ServerNotFoundError
            || d->socket.error() == QLocalSocket::ConnectionRefusedError)
            // Where it was looked for: a setgid command does not see TMPDIR.
            return d->fail(NotRunning, QStringLiteral("the search service is not running (no socket at %1)")
                                           .arg(ZServiceLocation::socketPath()));
        return d->fail(ConnectFailed, QStringLiteral("cannot connect to the search service: %1")
                                          .arg(d->socket.errorString()));
    }
    QString why;
    if (!trustedServicePeer(d->socket.socketDescriptor(), &d->service, &why)) {
        d->socket.abort();
        return d->fail(NotTrusted, why);
    }
    return true;
}

bool ZSearchClient::waitForDrives(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!d->allReady)
        if (d->error != NoError || !d->pump(deadline))
            return false;
    return true;
}

qint64 ZSearchClient::search(const ZSearchQuery& query, const std::function<bool(const ZSearchHit&)>& onHit)
{
    std::vector<ZNameMatcher> matchers;
    if (!d->compile(query, &matchers))
        return -1;
    qint64 given = 0;
    bool go = true;
    for (auto& entry : d->drives) {
        if (!go || (query.limit >= 0 && given >= query.limit))
            break;
        // The changes that follow are filed in the folder table as these paths saw it.
        if (d->trackGiven)
            entry.second->gatherFolders();
        given += entry.second->search(matchers, query, query.limit < 0 ? -1 : query.limit - given,
                                      [&](const ZSearchHit& hit) {
                                          if (d->trackGiven && !hit.path.isEmpty())
                                              d->given.insert(hit.path);
                                          return go = onHit(hit);
                                      });
    }
    return given;
}

bool ZSearchClient::resolve(quint64 itemRef, ZSearchHit* hit)
{
    ZItemSnapshot item;
    return d->resolve(itemRef, hit, &item);
}

bool ZSearchClient::follow(const ZSearchQuery& query, const std::function<bool(const ZSearchChange&)>& onChange,
                           int timeoutMs)
{
    std::vector<ZNameMatcher> matchers;
    if (!d->compile(query, &matchers))
        return false;
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    // A change in a piece the service announced that this process cannot
    // attach (the installed command gave its group up) ends the follow with
    // that reason: following on would drop every change that lands there.
    bool unreadable = false;
    // A change given, held against the paths given when they are tracked.
    auto give = [&](ZSearchChange::Kind kind, const ZSearchHit& hit) {
        if (d->trackGiven) {
            const bool present = d->given.count(hit.path) > 0;
            if (present == (kind == ZSearchChange::Added))
                return true;
            if (present)
                d->given.erase(hit.path);
            else
                d->given.insert(hit.path);
        }
        ZSearchChange change;
        change.kind = kind;
        change.item = hit;
        return onChange(change);
    };
    auto matches = [&](const QByteArray& name, const QByteArray& path) {
        for (const ZNameMatcher& m : matchers)
            if (!m.matches(query.nameOnly ? name : path))
                return false;
        return true;
    };
    // Folders (drive, record) that names came into before the folder itself
    // did: what lies in them is given when they come.
    std::set<std::pair<ushort, DWORD>> awaited;
    // One item of a change, when the query takes it; a folder added, renamed
    // or moved is filed in its drive's folder table, and one removed (not
    // renamed: `removal`) is unfiled (seen: the item's hit, when it could be
    // resolved, matching or not; arrived: a folder that names were awaiting).
    auto report = [&](ZSearchChange::Kind kind, quint64 itemRef, ZSearchHit* seen = nullptr,
                      bool* arrived = nullptr, bool removal = false) {
        ZSearchHit hit;
        ZItemSnapshot item;
        const bool known = d->resolve(itemRef, &hit, &item);
        ZDriveIndex* index = d->driveOf(itemRef);
        if (index && kind == ZSearchChange::Added && (item.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            index->noteFolder(item);
            if (arrived)
                *arrived = awaited.erase({index->drive(), item.recordNumber}) > 0;
        }
        if (index && d->trackGiven && removal && (item.attributes & FILE_ATTRIBUTE_DIRECTORY))
            index->dropFolder(item);
        if (index && d->trackGiven && kind == ZSearchChange::Added && !known && item.recordNumber != 0)
            awaited.insert({index->drive(), item.parentRecordNumber});
        if (known && seen)
            *seen = hit;
        const int piece = itemRefPieceNumber(itemRef);
        if (!known && index && piece > index->reader().attachedPieces()
            && piece <= index->reader().announcedPieces()) {
            unreadable = true;
            return d->fail(PiecesUnavailable, QStringLiteral("the index of drive %1: cannot be read (%2)")
                                                  .arg(QChar(index->drive()), index->reader().attachError()));
        }
        if (!known || !matches(item.name, hit.path))
            return true;
        if (kind != ZSearchChange::Removed && index->existenceChecked() && !index->existsOnDisk(hit))
            return true;
        return give(kind, hit);
    };
    // Tracked, a folder that goes or moves takes every path given below it
    // along, whatever the index holds by now.
    auto dropBelow = [&](const ZSearchHit& folder) {
        if (!d->trackGiven || !folder.isFolder || folder.path.isEmpty())
            return true;
        const QByteArray& top = folder.path;
        std::vector<QByteArray> gone;
        for (auto it = d->given.upper_bound(top); it != d->given.end() && it->startsWith(top); ++it)
            if (it->size() > top.size() && ((*it)[top.size()] == '/' || (*it)[top.size()] == '\\'))
                gone.push_back(*it);
        bool go = true;
        for (const QByteArray& path : gone) {
            ZSearchHit old = folder;
            old.isFolder = false;
            old.path = path;
            if (go)
                go = give(ZSearchChange::Removed, old);
        }
        return go;
    };
    // A folder renamed or moved (or one that names were waiting for) changes
    // the path of everything below it, which no message names: each is given
    // with its old path (untracked, when the folder's old place could be
    // reached) and its new one, as the query takes them. Tracked, folders
    // below whose own rename is still to be read are left to it (what lies
    // in them comes by their old place meanwhile).
    auto reportBelow = [&](const ZSearchHit& from, const ZSearchHit& to) {
        ZDriveIndex* index = d->driveOf(to.itemRef);
        ZItemSnapshot folder;
        if ((query.nameOnly && !d->trackGiven) || !index
            || index->reader().readItem(to.itemRef, &folder) != ZSharedPoolReader::ReadOk)
            return true;
        bool go = true;
        index->forEachUnder(folder.recordNumber, d->trackGiven, [&](const ZItemSnapshot& item) {
            ZSearchHit now;
            if (!index->hitOf(item, true, &now) || !now.path.startsWith(to.path))
                return true;
            ZSearchHit old = now;
            old.path = from.path + now.path.mid(to.path.size());
            if (!d->trackGiven && !from.path.isEmpty() && matches(item.name, old.path))
                go = give(ZSearchChange::Removed, old);
            if (go && matches(item.name, now.path) && (!index->existenceChecked() || index->existsOnDisk(now)))
                go = give(ZSearchChange::Added, now);
            return go;
        });
        return go;
    };
    for (;;) {
        // Permissions change without a change of the index (a chmod of a
        // folder): each batch of changes is judged by them as they are now.
        if (!d->changes.empty())
            for (auto& entry : d->drives)
                entry.second->forgetReach();
        while (!d->changes.empty()) {
            const ZClientMessage m = d->changes.front();
            d->changes.pop_front();
            bool go = true;
            switch (m.type) {
            case MessageItemAppended: {
                ZSearchHit folder;
                bool arrived = false;
                go = report(ZSearchChange::Added, m.itemRef, &folder, &arrived);
                if (go && arrived && !folder.path.isEmpty())
                    go = reportBelow(ZSearchHit(), folder);
                break;
            }
            case MessageItemRemoved: {
                ZSearchHit gone;
                go = report(ZSearchChange::Removed, m.itemRef, &gone, nullptr, true) && dropBelow(gone);
                break;
            }
            case MessageItemNameChanged: {
                ZSearchHit from, to;
                bool arrived = false;
                go = report(ZSearchChange::Removed, m.itemRef, &from)
                     && report(ZSearchChange::Added, m.newItemRef, &to, &arrived);
                if (go && (from.path != to.path || arrived))
                    go = dropBelow(from) && (!to.isFolder || to.path.isEmpty() || reportBelow(from, to));
                break;
            }
            case MessageListenFailed: {
                d->drives.erase(m.drive);
                ZSearchChange change;
                change.kind = ZSearchChange::DriveLost;
                change.item.drive = m.drive;
                go = onChange(change);
                break;
            }
            default:
                break;
            }
            if (!go)
                return !unreadable;
        }
        if (!d->pump(deadline))
            return d->error == TimedOut && timeoutMs >= 0 ? (d->error = NoError, true) : false;
    }
}

void ZSearchClient::setTrackGivenPaths(bool on)
{
    d->trackGiven = on;
    if (!on)
        d->given.clear();
}

void ZSearchClient::setMessageObserver(const std::function<void(const QString&)>& observer)
{
    d->observer = observer;
}

void ZSearchClient::setReachCheck(bool on)
{
    d->reachCheck = on;
    for (auto& entry : d->drives)
        entry.second->setReachCheck(on);
}

ZSearchClient::Error ZSearchClient::error() const
{
    return d->error;
}

QString ZSearchClient::errorString() const
{
    return d->errorText;
}

} // namespace SearchEngine
