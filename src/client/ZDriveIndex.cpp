#include "client/ZDriveIndex.h"

#include "client/ZOnDiskName.h"
#include "win32/win32_types.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <thread>

namespace SearchEngine {

namespace {

constexpr DWORD kRootRecordNumber = 5;
// A folder whose names another user may be shown: one they could list
// (read) and pass through (search), as `ls` would need.
constexpr int kListableFolder = R_OK | X_OK;
// Deeper than any real tree; ends a walk through a corrupt parent chain.
constexpr int kMaxPathDepth = 512;
// Record numbers below this index the folder table directly (4 bytes each,
// pages touched only where folders are); higher ones go through a hash.
constexpr DWORD kDenseRecordLimit = 1u << 24;
// The scan asks for the bytes this far ahead of the record it reads: the
// processor's own prefetch stops at every page boundary.
constexpr long long kScanPrefetchBytes = 1024;
// A scan of every piece is shared out among up to this many threads, each given
// at least kPiecesPerScanThread pieces: the scan waits on memory, not on
// the processor, and one core alone cannot keep enough reads in flight.
constexpr int kScanThreads = 4;
constexpr int kPiecesPerScanThread = 4;
// Runs of records with one parent are kept for the second pass while they
// average at least this many records; past that it scans everything again.
constexpr size_t kRecordsPerKeptRun = 8;
constexpr size_t kRunsKeptAnyway = 1024;

// The per-record work of a scan is folded into its loop.
#define SEARCH_SCAN_INLINE __attribute__((always_inline))

template <typename T>
T loadField(const char* record, size_t offset)
{
    T v;
    std::memcpy(&v, record + offset, sizeof v);
    return v;
}

// A record read in place during a scan: only a pre-filter; what is
// reported comes from the consistent copy.
struct InPlace {
    const char* at;
    int count;
    BYTE flags;

    DWORD record() const { return loadField<DWORD>(at, offsetof(ItemRecord, recordNumber)); }
    DWORD parent() const { return loadField<DWORD>(at, offsetof(ItemRecord, parentRecordNumber)); }
    bool isFolder() const { return loadField<DWORD>(at, offsetof(ItemRecord, attributes)) & FILE_ATTRIBUTE_DIRECTORY; }
    ULONGLONG signature() const { return loadField<ULONGLONG>(at, offsetof(ItemRecord, nameSignature)); }
    int nameLength() const
    {
        const int n = loadField<WORD>(at, offsetof(ItemRecord, nameLength));
        return nameFitsRun(n, count) ? n : 0;
    }
    const char* name() const { return at + kItemNameOffset; }
};

// Calls visit(pieceIndex, slotIndex, record) for every live run of piece p
// from slot `from` (a run's first) up to slot `to`, reading it in place.
template <typename Visit>
void scanPiece(const ZSharedPoolReader& reader, int p, DWORD from, DWORD to, Visit&& visit)
{
    const ZSharedPoolReader::PieceView v = reader.pieceView(p);
    const DWORD used = std::min({loadUsedSlots(reinterpret_cast<const PieceHeader*>(v.base)), v.slotLimit, to});
    for (DWORD index = from; index < used;) {
        const long long offset = slotByteOffset(index);
        // A run must hold its fixed part and end inside the segment.
        if (offset + kItemNameOffset > v.size)
            break;
        const char* at = v.base + offset;
        if (offset + kScanPrefetchBytes < v.size)
            __builtin_prefetch(at + kScanPrefetchBytes);
        const int count = static_cast<unsigned char>(at[offsetof(ItemRecord, slotCount)]);
        if (count == 0 || offset + (long long)count * kSlotSize > v.size)
            break;
        const BYTE flags = loadItemFlags(reinterpret_cast<const ItemRecord*>(at));
        if (flags & InUse)
            visit(p, index, InPlace{at, count, flags});
        index += DWORD(count);
    }
}

// The same over every run of the attached pieces first..last-1.
template <typename Visit>
void scanLive(const ZSharedPoolReader& reader, int first, int last, Visit&& visit)
{
    for (int p = first; p < last; ++p)
        scanPiece(reader, p, 0, std::numeric_limits<DWORD>::max(), visit);
}

template <typename Visit>
void scanLive(const ZSharedPoolReader& reader, Visit&& visit)
{
    scanLive(reader, 0, reader.attachedPieces(), visit);
}

// Runs part(worker, first, last) over consecutive ranges of the attached
// pieces, one thread each (at most maxWorkers) but the first, which runs here.
template <typename Part>
int scanInParts(const ZSharedPoolReader& reader, int maxWorkers, Part&& part)
{
    const int pieces = reader.attachedPieces();
    const int workers = std::max(1, std::min({maxWorkers, int(std::thread::hardware_concurrency()),
                                              pieces / kPiecesPerScanThread}));
    std::vector<std::thread> threads;
    for (int w = 1; w < workers; ++w)
        threads.emplace_back([&, w] { part(w, pieces * w / workers, pieces * (w + 1) / workers); });
    part(0, 0, pieces / workers);
    for (std::thread& t : threads)
        t.join();
    return workers;
}

} // namespace

ZDriveIndex::ZDriveIndex(ushort drive, const QString& poolName, const SegmentOwner& owner,
                         const ZPublishedDrive& published)
    : drive_(drive), published_(published), reader_(poolName, drive, owner), byRoot_(::getuid() == 0)
{
}

bool ZDriveIndex::attach(int pieceCount)
{
    reader_.setAnnouncedPieces(pieceCount);
    reader_.attachPieces(pieceCount);
    return reader_.attachedPieces() >= pieceCount;
}

void ZDriveIndex::forgetFolders()
{
    foldersReady_ = false;
    folders_.clear();
    byRecord_.clear();
    byRecordSparse_.clear();
    reach_.clear();
    dirMatch_.clear();
    paths_.clear();
}

void ZDriveIndex::gatherFolders()
{
    if (!foldersReady_)
        collectFolders();
}

void ZDriveIndex::noteFolder(const ZItemSnapshot& folder)
{
    const DWORD r = folder.recordNumber;
    // A table not gathered yet is gathered from the pool when needed.
    if (!foldersReady_ || r == kRootRecordNumber)
        return;
    const bool refiled = folderIndex(r) >= 0;
    folders_.push_back(Folder{r, folder.parentRecordNumber, int(itemRefPieceNumber(folder.itemRef)) - 1,
                              itemRefSlotIndex(folder.itemRef)});
    const int slot = int(folders_.size());   // index + 1
    if (r < kDenseRecordLimit) {
        if (r >= byRecord_.size())
            byRecord_.resize(size_t(r) + 1, 0);
        byRecord_[r] = slot;
    } else {
        byRecordSparse_[r] = slot;
    }
    reach_.push_back(Unknown);
    for (std::vector<uint8_t>& matched : dirMatch_)
        matched.push_back(Unknown);
    if (refiled) {
        // What lies below has another path, reach and matching folders now.
        paths_.clear();
        std::fill(reach_.begin(), reach_.end(), uint8_t(Unknown));
        for (std::vector<uint8_t>& matched : dirMatch_)
            std::fill(matched.begin(), matched.end(), uint8_t(Unknown));
    }
}

bool ZDriveIndex::filedAt(DWORD record, int piece, DWORD slot)
{
    const int i = folderIndex(record);
    return i >= 0 && folders_[size_t(i)].piece == piece && folders_[size_t(i)].slot == slot;
}

void ZDriveIndex::dropFolder(const ZItemSnapshot& folder)
{
    const DWORD r = folder.recordNumber;
    // Only while the table files the record under the run removed.
    if (!foldersReady_ || r == kRootRecordNumber
        || !filedAt(r, int(itemRefPieceNumber(folder.itemRef)) - 1, itemRefSlotIndex(folder.itemRef)))
        return;
    if (r < byRecord_.size())
        byRecord_[r] = 0;
    else
        byRecordSparse_.erase(r);
}

void ZDriveIndex::forEachUnder(DWORD folder, bool knownFoldersOnly,
                               const std::function<bool(const ZItemSnapshot&)>& visit)
{
    if (folderIndex(folder) < 0)
        return;
    // Per folder of the table: below `folder` or not, settled once.
    std::vector<uint8_t> below(folders_.size(), Unknown);
    auto isBelow = [&](DWORD parent) {
        std::vector<int> chain;
        uint8_t verdict = No;
        for (DWORD at = parent; int(chain.size()) <= kMaxPathDepth;) {
            if (at == folder) {
                verdict = Yes;
                break;
            }
            const int i = at == kRootRecordNumber ? -1 : folderIndex(at);
            if (i < 0)
                break;
            if (below[size_t(i)] != Unknown) {
                verdict = below[size_t(i)];
                break;
            }
            chain.push_back(i);
            at = folders_[size_t(i)].parent;
        }
        for (const int i : chain)
            below[size_t(i)] = verdict;
        return verdict == Yes;
    };
    // A folder whose record the table files under another run is one whose
    // rename (or making) is still to be read.
    bool go = true;
    scanLive(reader_, [&](int piece, DWORD slot, const InPlace& r) {
        ZItemSnapshot item;
        if (go && r.record() != kRootRecordNumber && isBelow(r.parent())
            && (!knownFoldersOnly || !r.isFolder() || filedAt(r.record(), piece, slot))
            && reader_.readSlot(piece, slot, &item) == ZSharedPoolReader::ReadOk)
            go = visit(item);
    });
}

void ZDriveIndex::forgetReach()
{
    std::fill(reach_.begin(), reach_.end(), uint8_t(Unknown));
    rootReach_ = Unknown;
}

QByteArray ZDriveIndex::rootText() const
{
    switch (published_.kind) {
    case ZPublishedDrive::Directory:
        return published_.root == "/" ? QByteArray() : published_.root;
    case ZPublishedDrive::Image:
        return published_.root + ':';
    default:
        return QString(QChar(drive_)).toUtf8() + ':';
    }
}

QByteArray ZDriveIndex::join(const QByteArray& folder, const QByteArray& name) const
{
    return folder + (published_.kind == ZPublishedDrive::Other ? '\\' : '/') + name;
}

void ZDriveIndex::collectFolders()
{
    forgetFolders();
    scanLive(reader_, [this](int piece, DWORD slot, const InPlace& r) {
        if (r.isFolder() && r.record() != kRootRecordNumber)
            folders_.push_back(Folder{r.record(), r.parent(), piece, slot});
    });
    indexFolders();
}

void ZDriveIndex::indexFolders()
{
    DWORD highest = 0;
    for (const Folder& f : folders_)
        highest = std::max(highest, f.record < kDenseRecordLimit ? f.record : 0);
    byRecord_.assign(size_t(highest) + 1, 0);
    for (size_t i = 0; i < folders_.size(); ++i) {
        const DWORD r = folders_[i].record;
        int& slot = r < kDenseRecordLimit ? byRecord_[r] : byRecordSparse_[r];
        if (slot == 0)   // the first name of a folder stands for it
            slot = int(i) + 1;
    }
    reach_.assign(folders_.size(), Unknown);
    foldersReady_ = true;
}

int ZDriveIndex::folderIndex(DWORD record)
{
    if (!foldersReady_)
        collectFolders();
    if (record < byRecord_.size())
        return byRecord_[record] - 1;
    const auto it = byRecordSparse_.find(record);
    return it == byRecordSparse_.end() ? -1 : it->second - 1;
}

bool ZDriveIndex::readFolder(int index, ZItemSnapshot* out)
{
    const Folder& f = folders_[size_t(index)];
    // A folder freed since the table was made keeps its name and parent,
    // so what was under it can still be named once it is gone.
    return reader_.readSlot(f.piece, f.slot, out) == ZSharedPoolReader::ReadOk && out->recordNumber == f.record;
}

bool ZDriveIndex::folderPathOf(DWORD record, QByteArray* path, bool* verified)
{
    if (record == kRootRecordNumber) {
        *path = rootText();
        *verified = true;
        return true;
    }
    const int index = folderIndex(record);
    return index >= 0 && folderPath(index, path, verified);
}

bool ZDriveIndex::folderPath(int index, QByteArray* path, bool* verified)
{
    // The folders above, up to the first one whose path is known.
    std::vector<int> chain;
    QByteArray at = rootText();
    bool ok = true;
    for (int i = index;;) {
        const auto known = paths_.find(i);
        if (known != paths_.end()) {
            at = known->second.first;
            ok = known->second.second;
            break;
        }
        chain.push_back(i);
        const DWORD parent = folders_[size_t(i)].parent;
        if (parent == kRootRecordNumber)
            break;
        i = folderIndex(parent);
        if (i < 0 || int(chain.size()) > kMaxPathDepth)
            return false;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        ZItemSnapshot folder;
        if (!readFolder(*it, &folder))
            return false;
        QByteArray name = folder.name;
        if (published_.kind == ZPublishedDrive::Directory && mayBeLossy(name)) {
            QByteArray onDisk;
            if (ok && findOnDisk(at.isEmpty() ? QByteArray("/") : at, name, &onDisk))
                name = onDisk;
            else
                ok = false;
        }
        at = join(at, name);
        paths_[*it] = {at, ok};
    }
    *path = at;
    *verified = ok;
    return true;
}

bool ZDriveIndex::reachable(DWORD record)
{
    if (!checksReach())
        return true;
    if (published_.kind == ZPublishedDrive::Other)
        return false;
    if (rootReach_ == Unknown) {
        const QByteArray root = published_.root.isEmpty() ? QByteArray("/") : published_.root;
        const int mode = published_.kind == ZPublishedDrive::Image ? R_OK : kListableFolder;
        // access() resolves the path with the real uid and groups: search
        // permission on every folder above is part of the answer.
        rootReach_ = ::access(root.constData(), mode) == 0 ? Yes : No;
    }
    if (rootReach_ == No || published_.kind == ZPublishedDrive::Image || record == kRootRecordNumber)
        return rootReach_ == Yes;
    const int index = folderIndex(record);
    if (index < 0)
        return false;
    // The folders above without an answer yet, walked up without recursion:
    // a tree of any depth cannot run the stack out. Each is No until known,
    // so a loop of parents (a folder table read while folders moved) ends
    // at one already on the way.
    std::vector<int> chain;
    bool above = true;   // whether the folder above the last one on the way is reachable
    for (int at = index;;) {
        if (reach_[size_t(at)] != Unknown) {
            above = reach_[size_t(at)] == Yes;
            break;
        }
        reach_[size_t(at)] = No;
        chain.push_back(at);
        const DWORD parent = folders_[size_t(at)].parent;
        if (parent == kRootRecordNumber)
            break;
        at = folderIndex(parent);
        if (at < 0) {
            above = false;
            break;
        }
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        QByteArray path;
        bool verified = false;
        above = above && folderPath(*it, &path, &verified) && verified && ::access(path.constData(), kListableFolder) == 0;
        reach_[size_t(*it)] = above ? Yes : No;
    }
    return reach_[size_t(index)] == Yes;
}

bool ZDriveIndex::existsOnDisk(const ZSearchHit& hit) const
{
    struct stat st;
    return published_.kind == ZPublishedDrive::Directory && hit.pathVerified
           && ::lstat(hit.path.constData(), &st) == 0;
}

bool ZDriveIndex::underMatchingFolder(const ZNameMatcher& m, size_t which, DWORD parent)
{
    std::vector<int> chain;
    bool result = false;
    for (DWORD at = parent; at != kRootRecordNumber;) {
        const int index = folderIndex(at);
        if (index < 0 || int(chain.size()) > kMaxPathDepth)
            break;
        const uint8_t known = dirMatch_[which][size_t(index)];
        if (known != Unknown) {
            result = known == Yes;
            break;
        }
        ZItemSnapshot folder;
        if (readFolder(index, &folder) && m.matches(folder.name)) {
            result = true;
            dirMatch_[which][size_t(index)] = Yes;
            break;
        }
        chain.push_back(index);
        at = folders_[size_t(index)].parent;
    }
    for (int index : chain)
        dirMatch_[which][size_t(index)] = result ? Yes : No;
    return result;
}

bool ZDriveIndex::hitOf(const ZItemSnapshot& item, bool wantPath, ZSearchHit* hit)
{
    hit->itemRef = item.itemRef;
    hit->drive = drive_;
    hit->isFolder = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    hit->pathVerified = true;
    hit->path.clear();
    const bool checkReach = checksReach();
    if (item.recordNumber == kRootRecordNumber) {
        hit->path = published_.root;
    } else if (!wantPath && checkReach) {
        // Counting: whether the user may reach the folder is all it takes.
        if (!reachable(item.parentRecordNumber))
            return false;
    } else if (wantPath) {
        QByteArray folder;
        bool verified = false;
        if (!folderPathOf(item.parentRecordNumber, &folder, &verified) || !reachable(item.parentRecordNumber))
            return false;
        QByteArray name = item.name;
        if (published_.kind == ZPublishedDrive::Directory && mayBeLossy(name)) {
            QByteArray onDisk;
            if (verified && findOnDisk(folder.isEmpty() ? QByteArray("/") : folder, name, &onDisk))
                name = onDisk;
            else
                verified = false;
        }
        hit->path = join(folder, name);
        hit->pathVerified = verified;
    }
    // The consistency rule once more before the hit is given: a record
    // freed meanwhile is not shown.
    return reader_.unchanged(item);
}

qint64 ZDriveIndex::search(const std::vector<ZNameMatcher>& matchers, const ZSearchQuery& query, qint64 limit,
                           const std::function<bool(const ZSearchHit&)>& onHit)
{
    reader_.attachPieces(-1);
    const size_t n = matchers.size();
    const bool mustExist = query.existingOnly || existenceChecked();
    const bool wantPath = query.pathsNeeded || mustExist;
    // Qt does not promise that one QRegularExpression may match in several
    // threads at once: a regular expression is scanned for by this one.
    const bool anyRegex
        = std::any_of(matchers.begin(), matchers.end(), [](const ZNameMatcher& m) { return m.isRegex(); });
    const int maxWorkers = anyRegex ? 1 : kScanThreads;
    // By the whole path, a pattern that the root's path holds matches all.
    std::vector<char> byName(n), everything(n), folderHas(n);
    const QByteArray root = rootText();
    bool treeNeeded = false;
    for (size_t i = 0; i < n; ++i) {
        byName[i] = query.nameOnly || matchers[i].componentWise();
        everything[i] = !query.nameOnly && matchers[i].componentWise() && matchers[i].matches(root);
        treeNeeded = treeNeeded || !byName[i];
    }
    const bool anyPatternByName = std::find(byName.begin(), byName.end(), 1) != byName.end();
    auto nameMatches = [&](size_t i, const char* name, int length, ULONGLONG signature) {
        return everything[i] || (matchers[i].mayMatch(signature) && matchers[i].matches(name, length));
    };

    // Pass one, in place: the records whose own names match every pattern,
    // and whether any folder's name matches one (its contents match too).
    struct Candidate {
        int piece;
        DWORD slot;
        const char* at;
    };
    const bool checkReach = checksReach();
    // Counting: the consistency rule around the match in place, no copy.
    const bool inPlaceOnly = !treeNeeded && !wantPath && !checkReach;
    // Paths will be wanted: the folder table comes from this same pass.
    const bool gatherFolders = !foldersReady_ && !inPlaceOnly;
    if (gatherFolders)
        forgetFolders();
    struct Counted {
        ULONGLONG itemRef;
        bool isFolder;
    };
    // Consecutive records with one parent: where a folder's name matches,
    // the second pass reads only the runs of what lies in it.
    struct Run {
        int piece;
        DWORD first;
        DWORD parent;
    };
    const bool keepRuns = !query.nameOnly && !inPlaceOnly;
    // What one thread of the pass finds in its pieces, joined in piece order.
    struct Found {
        std::vector<Folder> folders;
        std::vector<Candidate> candidates;
        std::vector<Counted> counted;
        std::vector<char> folderHas;
        std::vector<Run> runs;
        bool runsKept = true;
    };
    std::vector<Found> parts(kScanThreads);
    const int workers = scanInParts(reader_, maxWorkers, [&](int worker, int first, int last) {
        Found& found = parts[size_t(worker)];
        found.folderHas.assign(n, 0);
        // Room for runs of kRecordsPerKeptRun records of two slots each.
        size_t usedSlots = 0;
        for (int p = first; p < last; ++p)
            usedSlots += loadUsedSlots(reinterpret_cast<const PieceHeader*>(reader_.pieceView(p).base));
        const size_t runLimit = std::max(kRunsKeptAnyway, usedSlots / (2 * kRecordsPerKeptRun));
        int lastPiece = -1;
        DWORD lastParent = 0;
        scanLive(reader_, first, last, [&](int piece, DWORD slot, const InPlace& r) SEARCH_SCAN_INLINE {
            const bool folder = r.isFolder();
            // The root itself is not a result, as in locate's database.
            if (folder && r.record() == kRootRecordNumber)
                return;
            if (folder && gatherFolders)
                found.folders.push_back(Folder{r.record(), r.parent(), piece, slot});
            if (keepRuns && (r.parent() != lastParent || piece != lastPiece)) {
                lastParent = r.parent();
                lastPiece = piece;
                if (found.runs.size() < runLimit)
                    found.runs.push_back(Run{piece, slot, lastParent});
                else
                    found.runsKept = false;
            }
            const DWORD stamp = loadField<DWORD>(r.at, offsetof(ItemRecord, modifyStamp));
            const ULONGLONG signature = r.signature();
            // A candidate matches every pattern decided by names; the others
            // are matched against its whole path in pass two.
            bool all = anyPatternByName;
            for (size_t i = 0; i < n; ++i) {
                if (!byName[i])
                    continue;
                if (!nameMatches(i, r.name(), r.nameLength(), signature)) {
                    all = false;
                    if (!folder)
                        break;
                } else if (folder && !everything[i]) {
                    found.folderHas[i] = true;
                }
            }
            if (!all)
                return;
            if (!inPlaceOnly) {
                found.candidates.push_back(Candidate{piece, slot, r.at});
                return;
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            const ItemRecord* record = reinterpret_cast<const ItemRecord*>(r.at);
            if (loadItemFlags(record) != r.flags || loadField<DWORD>(r.at, offsetof(ItemRecord, modifyStamp)) != stamp)
                return;
            found.counted.push_back(Counted{makeItemRef(drive_, reader_.pieceView(piece).number, slot), folder});
        });
    });
    std::vector<Candidate> candidates;
    std::vector<Counted> counted;
    for (int w = 0; w < workers; ++w) {
        Found& found = parts[size_t(w)];
        folders_.insert(folders_.end(), found.folders.begin(), found.folders.end());
        candidates.insert(candidates.end(), found.candidates.begin(), found.candidates.end());
        counted.insert(counted.end(), found.counted.begin(), found.counted.end());
        for (size_t i = 0; i < n; ++i)
            folderHas[i] = folderHas[i] || found.folderHas[i];
    }
    qint64 given = 0;
    if (!query.nameOnly)
        for (size_t i = 0; i < n; ++i)
            treeNeeded = treeNeeded || (folderHas[i] && !everything[i]);
    // The table is made only when a path will be built: a search that
    // found nothing does not pay for it.
    if (gatherFolders && (treeNeeded || !candidates.empty()))
        indexFolders();
    // Given only now: a folder whose name matches brings in what is under it.
    if (inPlaceOnly && !treeNeeded) {
        for (const Counted& c : counted) {
            ZSearchHit hit;
            hit.itemRef = c.itemRef;
            hit.drive = drive_;
            hit.isFolder = c.isFolder;
            ++given;
            if (!onHit(hit) || (limit >= 0 && given >= limit))
                break;
        }
        return given;
    }

    auto give = [&](const ZItemSnapshot& item) {
        ZSearchHit hit;
        if (!hitOf(item, wantPath, &hit))
            return true;
        if (mustExist && !existsOnDisk(hit))
            return true;
        ++given;
        return onHit(hit) && (limit < 0 || given < limit);
    };

    if (!treeNeeded) {
        ZItemSnapshot item;
        for (const Candidate& c : candidates) {
            if (reader_.readSlot(c.piece, c.slot, &item) != ZSharedPoolReader::ReadOk || !item.isLive())
                continue;
            bool all = true;
            for (size_t i = 0; i < n && all; ++i)
                all = nameMatches(i, item.name.constData(), item.name.size(), item.nameSignature);
            if (all && !give(item))
                break;
        }
        return given;
    }

    // Pass two: a pattern matches a path through the folders above it, or
    // (not decided by components) the whole path.
    if (!foldersReady_)
        collectFolders();
    dirMatch_.assign(n, std::vector<uint8_t>(folders_.size(), Unknown));
    // Every folder's answer first: the threads of the scan only read them.
    for (size_t i = 0; i < n; ++i) {
        if (!byName[i])
            continue;
        for (const Folder& f : folders_)
            underMatchingFolder(matchers[i], i, f.record);
    }
    auto under = [&](size_t i, DWORD parent) {
        const int index = parent == kRootRecordNumber ? -1 : folderIndex(parent);
        return index >= 0 && dirMatch_[i][size_t(index)] == Yes;
    };
    auto byNameMatches = [&](const char* name, int length, ULONGLONG signature, DWORD parent) {
        for (size_t i = 0; i < n; ++i)
            if (byName[i] && !nameMatches(i, name, length, signature) && !under(i, parent))
                return false;
        return true;
    };
    // The consistent copy, checked again, then the whole path where a
    // pattern needs it; false once no more hits are wanted.
    ZItemSnapshot item;
    auto take = [&](int piece, DWORD slot) {
        if (reader_.readSlot(piece, slot, &item) != ZSharedPoolReader::ReadOk || !item.isLive()
            || !byNameMatches(item.name.constData(), item.name.size(), item.nameSignature, item.parentRecordNumber))
            return true;
        QByteArray whole;
        for (size_t i = 0; i < n; ++i) {
            if (byName[i])
                continue;
            bool verified = false;
            if (whole.isEmpty()) {
                QByteArray folder;
                if (!folderPathOf(item.parentRecordNumber, &folder, &verified))
                    return true;
                whole = join(folder, item.name);
            }
            if (!matchers[i].matches(whole))
                return true;
        }
        return give(item);
    };
    bool runsKept = keepRuns && anyPatternByName;
    for (int w = 0; w < workers; ++w)
        runsKept = runsKept && parts[size_t(w)].runsKept;
    if (runsKept) {
        // Runs whose folder lies under no matching one hold only the records
        // of pass one that matched by name; the others are read again.
        size_t next = 0;
        bool go = true;
        for (int w = 0; w < workers && go; ++w) {
            const std::vector<Run>& runs = parts[size_t(w)].runs;
            for (size_t k = 0; k < runs.size() && go; ++k) {
                const Run& run = runs[k];
                const DWORD end = k + 1 < runs.size() && runs[k + 1].piece == run.piece
                                      ? runs[k + 1].first
                                      : std::numeric_limits<DWORD>::max();
                auto inRun = [&](const Candidate& c) { return c.piece == run.piece && c.slot < end; };
                bool inMatchingFolder = false;
                for (size_t i = 0; i < n && !inMatchingFolder; ++i)
                    inMatchingFolder = byName[i] && under(i, run.parent);
                if (!inMatchingFolder) {
                    for (; go && next < candidates.size() && inRun(candidates[next]); ++next)
                        go = take(candidates[next].piece, candidates[next].slot);
                    continue;
                }
                while (next < candidates.size() && inRun(candidates[next]))
                    ++next;   // found again by the reading
                auto visit = [&](int piece, DWORD slot, const InPlace& r) SEARCH_SCAN_INLINE {
                    if (go && r.record() != kRootRecordNumber
                        && byNameMatches(r.name(), r.nameLength(), r.signature(), r.parent()))
                        go = take(piece, slot);
                };
                scanPiece(reader_, run.piece, run.first, end, visit);
            }
        }
        return given;
    }
    if (!anyPatternByName) {
        // Every record's whole path is matched: nothing to share out.
        bool go = true;
        scanLive(reader_, [&](int piece, DWORD slot, const InPlace& r) {
            if (go && r.record() != kRootRecordNumber)
                go = take(piece, slot);
        });
        return given;
    }
    std::vector<std::vector<Candidate>> matched(kScanThreads);
    const int parts2 = scanInParts(reader_, maxWorkers, [&](int worker, int first, int last) {
        std::vector<Candidate>& out = matched[size_t(worker)];
        scanLive(reader_, first, last, [&](int piece, DWORD slot, const InPlace& r) {
            if (r.record() != kRootRecordNumber && byNameMatches(r.name(), r.nameLength(), r.signature(), r.parent()))
                out.push_back(Candidate{piece, slot, r.at});
        });
    });
    for (int w = 0; w < parts2; ++w)
        for (const Candidate& c : matched[size_t(w)])
            if (!take(c.piece, c.slot))
                return given;
    return given;
}

} // namespace SearchEngine
