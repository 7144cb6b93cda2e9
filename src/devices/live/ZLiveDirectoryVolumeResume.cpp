// ZLiveDirectoryVolume between runs: the state files opened at start (the
// last run's records and journal restored, or a fresh journal), the walk
// that compares the tree with the restored records, and the identity table
// written at close.
#include "devices/live/ZLiveDirectoryVolume.h"

#include "devices/live/ZLiveNameCodec.h"

#include <QFile>

#include <fcntl.h>
#include <zlib.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <deque>
#include <unordered_map>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr int kSequenceShift = 48;
constexpr size_t kSparseRecordsPerEntry = 16;
constexpr size_t kSparseRecordsSlack = size_t(1) << 20;

// What names the tree beyond its device and root inode: its path and the
// root's birth time (where the file system keeps one), as a CRC-32.
DWORD rootTagOf(const std::string& root)
{
    LiveFileStat st;
    const ULONGLONG born = liveStat(AT_FDCWD, root.c_str(), st) && st.birthTime ? st.creationTime : 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(root.data()), uInt(root.size()));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&born), sizeof born);
    return DWORD(crc);
}

} // namespace

void ZLiveDirectoryVolume::openState(const ZEmulatedNtfsVolume::Options& fresh)
{
    if (options_.stateFolder.isEmpty())
        return;
    ZLiveJournalLog::Limits limits;
    limits.maximumSize = fresh.journalMaximumSize;
    limits.allocationDelta = fresh.journalAllocationDelta;
    state_ = std::make_unique<ZLiveDriveState>(options_.stateFolder, options_.stateName, limits);
    if (options_.stateWriteFault)
        state_->setWriteFault(options_.stateWriteFault);
    ZLiveIdentitySnapshot::Table table;
    QString reason;
    // A first run has nothing to take up; anything else not taken up says why.
    const bool hadState = state_->exists();
    const DWORD rootTag = rootTagOf(root_);
    if (state_->load(rootDevice_, rootInode_, rootTag, table, &reason) && restore(table, &reason)) {
        resumed_ = true;
        resumedAt_ = state_->journal().nextUsn();
    } else {
        const QString drive = QStringLiteral("drive %1 (%2)").arg(options_.stateName, QFile::decodeName(root_.c_str()));
        if (hadState)
            logError(QStringLiteral("%1: the state of the last run is not used (%2): a fresh journal, the drive is "
                                    "rebuilt").arg(drive, reason),
                     PlatformLogLevel::Warning);
        else
            logError(QStringLiteral("%1: no state of a last run: a fresh journal").arg(drive), PlatformLogLevel::Info);
        for (size_t r = 0; r < inodes_.size(); ++r)
            inodes_[r] = 0;
        linkedInodes_.clear();
        folderOfInode_.clear();
        volume_ = std::make_unique<ZEmulatedNtfsVolume>(fresh);
        volume_->setAutoClose(false);
        volume_->setJournalPaused(true);
        QString error;
        if (!state_->startFresh({rootDevice_, rootInode_, fresh.journalId, rootTag}, fresh.firstUsn, &error))
            logError(QStringLiteral("drive %1 (%2): nothing is kept for the next run: %3")
                         .arg(options_.stateName, QFile::decodeName(root_.c_str()), error));
    }
    ZLiveDriveState* state = state_.get();
    volume_->setJournalObserver([state](const USN_RECORD_V2* record) { state->append(record); });
}

// The records as the last run left them, none journaled; false with the
// reason when the table does not make a tree.
bool ZLiveDirectoryVolume::restore(const ZLiveIdentitySnapshot::Table& table, QString* reason)
{
    using Entry = ZLiveIdentitySnapshot::Entry;
    auto refuse = [&](const QString& why) {
        *reason = why;
        return false;
    };
    // One claim per record; every name of a record tells the same of it.
    std::unordered_map<DWORD, const Entry*> first;
    std::vector<std::pair<DWORD, WORD>> claims;
    std::unordered_map<DWORD, std::vector<const Entry*>> byParent;
    DWORD highest = kRoot;
    for (const Entry& e : table.entries) {
        auto [it, added] = first.emplace(e.record, &e);
        if (added) {
            claims.emplace_back(e.record, e.sequence);
            highest = std::max(highest, e.record);
        } else if (it->second->sequence != e.sequence || it->second->flags != e.flags
                   || it->second->inode != e.inode || (e.flags & ZLiveIdentitySnapshot::kFolder)) {
            return refuse(QStringLiteral("identity table names record %1 twice unlike").arg(e.record));
        }
        byParent[e.parent].push_back(&e);
    }
    // Freed records stay numbered, but not without bound: a table whose
    // numbers run far past its size is not one this device wrote.
    if (highest > kSparseRecordsPerEntry * claims.size() + kSparseRecordsSlack)
        return refuse(QStringLiteral("identity table record numbers run far past its size"));
    if (!volume_->claimRecords(claims))
        return refuse(QStringLiteral("identity table records do not fit a volume"));
    inodes_.resize(size_t(highest) + 1);
    inodes_[kRoot] = rootInode_;
    // Parents before children, from the root down.
    size_t placed = 0;
    std::vector<bool> made(size_t(highest) + 1, false);
    std::deque<DWORD> folders{kRoot};
    while (!folders.empty()) {
        const DWORD parent = folders.front();
        folders.pop_front();
        auto children = byParent.find(parent);
        if (children == byParent.end())
            continue;
        for (const Entry* e : children->second) {
            const bool folder = e->flags & ZLiveIdentitySnapshot::kFolder;
            const std::u16string name = liveNameToUtf16(e->name);
            if (made[e->record]) {
                // A further name of a file placed already.
                if (!volume_->link(e->record, parent, name, ZEmulatedNtfsVolume::NameForm::Posix))
                    return refuse(QStringLiteral("identity table name of record %1 does not fit").arg(e->record));
                volume_->close(e->record);   // journal paused: only the open reasons go
                ++placed;
                continue;
            }
            made[e->record] = true;
            ZEmulatedNtfsVolume::CreateOptions o;
            o.nameForm = ZEmulatedNtfsVolume::NameForm::Posix;
            o.attributes = e->attributes;
            o.size = e->size;
            o.creationTime = e->creationTime;
            o.lastWriteTime = e->lastWriteTime;
            o.changeTime = e->changeTime;
            o.lastAccessTime = e->lastWriteTime;
            if (volume_->restoreEntry(e->record, parent, name, o, folder) != e->record)
                return refuse(QStringLiteral("identity table record %1 does not fit").arg(e->record));
            ++placed;
            inodes_[e->record] = e->inode;
            if (e->inode && folder)
                folderOfInode_[e->inode] = e->record;
            else if (e->inode)
                linkedInodes_[e->inode] = e->record;   // the walk after the restart finds moved files by inode
            if (folder)
                folders.push_back(e->record);
        }
        byParent.erase(children);
    }
    if (placed != table.entries.size())
        return refuse(QStringLiteral("identity table names have no path to the root"));
    const ZLiveJournalLog& log = state_->journal();
    if (!volume_->seedJournal(log.identity().journalId, log.firstUsn(), log.nextUsn(), log.records()))
        return refuse(QStringLiteral("journal file records do not run from FirstUsn to NextUsn"));
    nameBytesKept_ = volume_->nameStoreBytes();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    return true;
}

// The walk after a restart: every entry on disk compared with the restored
// records, each difference journaled as the change Windows would record,
// then every name the walk did not meet looked at again.
void ZLiveDirectoryVolume::reconcile()
{
    reconciling_ = true;
    rescan();
    reconciling_ = false;
    // Only files with several names stay in the inode map.
    std::unordered_map<DWORD, DWORD> names;
    volume_->forEachLink([&](DWORD record, DWORD, const std::u16string&) { ++names[record]; });
    for (auto it = linkedInodes_.begin(); it != linkedInodes_.end();) {
        auto n = names.find(it->second);
        if (n == names.end() || n->second < 2)
            it = linkedInodes_.erase(it);
        else
            ++it;
    }
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

ZLiveIdentitySnapshot::Table ZLiveDirectoryVolume::identityTable() const
{
    ZLiveIdentitySnapshot::Table t;
    t.rootDevice = rootDevice_;
    t.rootInode = rootInode_;
    const ZEmulatedNtfsVolume::JournalState journal = volume_->journalState();
    t.journalId = journal.data.UsnJournalID;
    // A journal deleted (or being deleted) is not one to resume.
    t.usn = journal.active && !journal.deleting ? journal.data.NextUsn : -1;
    volume_->forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        ZLiveIdentitySnapshot::Entry e;
        e.record = record;
        e.parent = parent;
        e.name = liveNameFromUtf16(name);
        e.inode = record < inodes_.size() ? inodes_[record] : 0;
        t.entries.push_back(std::move(e));
    });
    for (ZLiveIdentitySnapshot::Entry& e : t.entries) {
        ZEmulatedNtfsVolume::FileInfo info;
        if (!volume_->fileInfo(e.record, info)) {
            t.usn = -1;
            continue;
        }
        e.sequence = WORD(info.fileReference >> kSequenceShift);
        e.flags = info.directory ? ZLiveIdentitySnapshot::kFolder : 0;
        e.attributes = info.attributes;
        e.size = info.size;
        e.creationTime = info.times.creationTime;
        e.lastWriteTime = info.times.lastWriteTime;
        e.changeTime = info.times.changeTime;
    }
    return t;
}

void ZLiveDirectoryVolume::saveState()
{
    if (!state_ || !volume_)
        return;
    std::lock_guard<std::mutex> g(stateLock_);
    volume_->setJournalObserver(nullptr);
    QString error;
    if (!state_->close(identityTable(), &error) && !error.isEmpty())
        logError(QStringLiteral("drive %1 (%2): nothing is kept for the next run: %3")
                     .arg(options_.stateName, QFile::decodeName(root_.c_str()), error));
}

} // namespace Platform
