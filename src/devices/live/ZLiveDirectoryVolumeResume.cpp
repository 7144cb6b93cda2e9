// ZLiveDirectoryVolume between runs: the state files opened at start (the
// last run's records and journal restored, or a fresh journal), the walk
// that compares the tree with the restored records, and the identity table
// written at close.
#include "devices/live/ZLiveDirectoryVolume.h"

#include "devices/live/ZLiveNameCodec.h"

#include <QFile>

#include <cstring>

#include <fcntl.h>
#include <zlib.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr int kSequenceShift = 48;
constexpr size_t kSparseRecordsPerEntry = 16;
constexpr size_t kSparseRecordsSlack = size_t(1) << 20;
// The table's pages are given back after this many entries placed: the
// placement then holds a few megabytes of it, not all of it at once.
constexpr size_t kEntriesPerPageDrop = size_t(1) << 16;

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
    ZLiveIdentitySnapshot::Image table;
    QString reason;
    // A first run has nothing to take up; anything else not taken up says why.
    const bool hadState = state_->exists();
    const DWORD rootTag = rootTagOf(root_);
    if (state_->load(rootDevice_, rootInode_, rootTag, table, &reason) && restore(table, &reason)) {
        resumed_ = true;
        volume_->volumeInformation(atOpen_.information);
        atOpen_.volumeData = volume_->volumeData();
        atOpen_.journal = volume_->journalState().data;
        restorePending_ = true;
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

// The table checked as a tree and the journal taken up; false with the
// reason when it is not one this device wrote. The records themselves are
// claimed and placed later, on the event thread (placeRecords).
// Flat arrays by record number, not maps: a million entries are checked in
// a few tens of milliseconds, and the numbers are bounded first.
bool ZLiveDirectoryVolume::restore(ZLiveIdentitySnapshot::Image& table, QString* reason)
{
    using Head = ZLiveIdentitySnapshot::EntryHead;
    constexpr DWORD kNone = ~DWORD(0);
    auto refuse = [&](const QString& why) {
        *reason = why;
        return false;
    };
    const size_t count = table.size();
    if (count >= kNone)
        return refuse(QStringLiteral("identity table holds more entries than a volume has records"));
    const DWORD capacity = volumeOptions().mftCapacityRecords;
    // What the passes below read of each entry, in one small array: the
    // entries themselves are 64 bytes and a name apart.
    struct Link {
        DWORD record;
        DWORD parent;
        bool folder;
    };
    std::vector<Link> links(count);
    DWORD highest = kRoot;
    for (size_t i = 0; i < count; ++i) {
        const Head h = table.head(i);
        if (h.record < Ntfs::RecordFirstUser || h.record >= capacity || h.sequence == 0)
            return refuse(QStringLiteral("identity table records do not fit a volume"));
        highest = std::max(highest, h.record);
        links[i] = {h.record, h.parent, (h.flags & ZLiveIdentitySnapshot::kFolder) != 0};
    }
    // Freed records stay numbered, but not without bound: a table whose
    // numbers run far past its size is not one this device wrote.
    auto sparse = [&](size_t records) { return highest > kSparseRecordsPerEntry * records + kSparseRecordsSlack; };
    if (sparse(count))
        return refuse(QStringLiteral("identity table record numbers run far past its size"));
    // The first entry of each record; every further name of it must tell
    // the same of it, and a folder has one name.
    const size_t span = size_t(highest) + 1;
    std::vector<DWORD> first(span, kNone);
    std::vector<std::pair<DWORD, WORD>> claims;
    claims.reserve(count);
    std::vector<DWORD> childCount(span + 1, 0);
    for (size_t i = 0; i < count; ++i) {
        const Link& l = links[i];
        if (first[l.record] == kNone) {
            first[l.record] = DWORD(i);
            claims.emplace_back(l.record, table.head(i).sequence);
        } else {
            const Head h = table.head(i);
            const Head f = table.head(first[l.record]);
            if (f.sequence != h.sequence || f.flags != h.flags || f.inode != h.inode || l.folder)
                return refuse(QStringLiteral("identity table names record %1 twice unlike").arg(l.record));
        }
        if (l.parent < span)
            ++childCount[l.parent + 1];
    }
    if (sparse(claims.size()))
        return refuse(QStringLiteral("identity table record numbers run far past its size"));
    // The entries grouped by parent (a counting sort), then parents before
    // children from the root down: every name must hang from the root
    // through folders. A parent past every record is reached by no walk.
    for (size_t r = 1; r <= span; ++r)
        childCount[r] += childCount[r - 1];
    std::vector<DWORD> byParent(childCount[span]);
    {
        std::vector<DWORD> at(childCount.begin(), childCount.end() - 1);
        for (size_t i = 0; i < count; ++i) {
            const DWORD parent = links[i].parent;
            if (parent < span)
                byParent[at[parent]++] = DWORD(i);
        }
    }
    std::vector<DWORD> order;
    order.reserve(count);
    std::vector<DWORD> folders{kRoot};
    for (size_t next = 0; next < folders.size(); ++next) {
        const DWORD folder = folders[next];
        for (DWORD k = childCount[folder]; k < childCount[folder + 1]; ++k) {
            const DWORD i = byParent[k];
            order.push_back(i);
            if (links[i].folder && first[links[i].record] == i)
                folders.push_back(links[i].record);
        }
    }
    if (order.size() != count)
        return refuse(QStringLiteral("identity table names have no path to the root"));
    const ZLiveJournalLog& log = state_->journal();
    if (!volume_->seedJournal(log.identity().journalId, log.firstUsn(), log.nextUsn(), log.records()))
        return refuse(QStringLiteral("journal file records do not run from FirstUsn to NextUsn"));
    inodes_.resize(span);
    inodes_[kRoot] = rootInode_;
    // The passes above touched every page; the drive loads its cache while
    // the records are placed, and the two need not hold the table at once.
    table.dropPages();
    pendingClaims_ = std::move(claims);
    pendingOrder_ = std::move(order);
    pendingTable_ = std::move(table);
    std::lock_guard<std::mutex> g(placedLock_);
    placed_ = false;
    return true;
}

// The records as the last run left them, none journaled, in the order the
// open found; false with the reason when one does not fit.
bool ZLiveDirectoryVolume::placeRecords(QString* reason)
{
    // Checked at the open already: numbers in range, each claimed once.
    const bool claimed = volume_->claimRecords(pendingClaims_);
    pendingClaims_ = decltype(pendingClaims_)();   // its memory given back (`= {}` would keep the capacity)
    if (!claimed) {
        *reason = QStringLiteral("identity table records do not fit a volume");
        return false;
    }
    std::vector<bool> made(inodes_.size(), false);
    restoredInodes_.reserve(pendingOrder_.size());
    size_t placed = 0;
    for (const DWORD i : pendingOrder_) {
        if (++placed % kEntriesPerPageDrop == 0)
            pendingTable_.dropPages();
        const ZLiveIdentitySnapshot::EntryHead e = pendingTable_.head(i);
        const bool folder = e.flags & ZLiveIdentitySnapshot::kFolder;
        const std::string_view n = pendingTable_.name(i);
        const std::u16string name = liveNameToUtf16(n.data(), n.size());
        if (made[e.record]) {
            // A further name of a file placed already.
            if (!volume_->link(e.record, e.parent, name, ZEmulatedNtfsVolume::NameForm::Posix)) {
                *reason = QStringLiteral("identity table name of record %1 does not fit").arg(e.record);
                return false;
            }
            volume_->close(e.record);   // journal paused: only the open reasons go
            continue;
        }
        made[e.record] = true;
        ZEmulatedNtfsVolume::CreateOptions o;
        o.nameForm = ZEmulatedNtfsVolume::NameForm::Posix;
        o.attributes = e.attributes;
        o.size = e.size;
        o.creationTime = e.creationTime;
        o.lastWriteTime = e.lastWriteTime;
        o.changeTime = e.changeTime;
        o.lastAccessTime = e.lastWriteTime;
        if (volume_->restoreEntry(e.record, e.parent, name, o, folder) != e.record) {
            *reason = QStringLiteral("identity table record %1 does not fit").arg(e.record);
            return false;
        }
        inodes_[e.record] = e.inode;
        if (e.inode && folder)
            folderOfInode_[e.inode] = e.record;
        else if (e.inode)
            restoredInodes_.emplace_back(e.inode, e.record);   // the walk after the restart finds moved files by inode
    }
    std::sort(restoredInodes_.begin(), restoredInodes_.end());
    nameBytesKept_ = volume_->nameStoreBytes();
    return true;
}

// On the event thread, first of all: the records placed, then every call
// that reads them may go on. A table that does not fit after all leaves a
// volume that must not be read: the drive is not ready, and nothing of this
// run is kept, so the next start is a fresh one.
void ZLiveDirectoryVolume::placePendingRecords()
{
    if (!restorePending_.load())
        return;
    if (options_.beforePlacing)
        options_.beforePlacing();
    QString reason;
    bool ok;
    {
        std::lock_guard<std::mutex> g(stateLock_);
        ok = placeRecords(&reason);
        // Their memory given back: `= {}` would keep the capacity.
        pendingClaims_ = decltype(pendingClaims_)();
        pendingOrder_ = decltype(pendingOrder_)();
        pendingTable_ = ZLiveIdentitySnapshot::Image();
        if (!ok) {
            logError(QStringLiteral("drive %1 (%2): the state of the last run is not used (%3): the drive is not "
                                    "ready until it is opened again")
                         .arg(options_.stateName, QFile::decodeName(root_.c_str()), reason),
                     PlatformLogLevel::Warning);
            volume_->setJournalObserver(nullptr);
            QString error;
            state_->close(rootDevice_, rootInode_, 0, -1, nullptr, &error);   // of no moment: both files go
            state_.reset();
            markGone();
        }
    }
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    {
        std::lock_guard<std::mutex> g(placedLock_);
        placed_ = true;
        restorePending_ = false;
    }
    placedCv_.notify_all();
    if (ok)
        volume_->setJournalPaused(false);
}

BOOL ZLiveDirectoryVolume::answerFromOpen(DWORD code, void* out, DWORD outSize, DWORD* bytesReturned) const
{
    // By the emulated volume's rules for these two calls.
    DWORD ignored = 0;
    DWORD* returned = bytesReturned ? bytesReturned : &ignored;
    *returned = 0;
    const bool volumeData = code == FSCTL_GET_NTFS_VOLUME_DATA;
    const DWORD least = volumeData ? DWORD(sizeof atOpen_.volumeData) : DWORD(sizeof(USN_JOURNAL_DATA_V0));
    if (!out && outSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (outSize < least) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const DWORD size = volumeData || outSize < sizeof atOpen_.journal ? least : DWORD(sizeof atOpen_.journal);
    std::memcpy(out, volumeData ? static_cast<const void*>(&atOpen_.volumeData) : &atOpen_.journal, size);
    *returned = size;
    return TRUE;
}

void ZLiveDirectoryVolume::waitForRecords() const
{
    if (!restorePending_.load())
        return;
    std::unique_lock<std::mutex> g(placedLock_);
    placedCv_.wait(g, [&] { return placed_; });
}

// The walk after a restart: every entry on disk compared with the restored
// records, each difference journaled as the change Windows would record,
// then every name the walk did not meet looked at again.
void ZLiveDirectoryVolume::reconcile()
{
    reconciling_ = true;
    rescan();
    changes_.joinSplitLinks();
    reconciling_ = false;
    // Only files with several names stay in the inode map.
    std::vector<DWORD> names(size_t(volume_->recordCount()) + 1, 0);
    volume_->forEachLink([&](DWORD record, DWORD, const std::u16string&) {
        if (record < names.size())
            ++names[record];
    });
    auto several = [&](DWORD record) { return record < names.size() && names[record] > 1; };
    for (const auto& [inode, record] : restoredInodes_)
        if (several(record) && record < inodes_.size() && inodes_[record] == inode)
            linkedInodes_.emplace(inode, record);
    restoredInodes_ = decltype(restoredInodes_)();   // its memory given back (`= {}` would keep the capacity)
    for (auto it = linkedInodes_.begin(); it != linkedInodes_.end();) {
        if (!several(it->second))
            it = linkedInodes_.erase(it);
        else
            ++it;
    }
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void ZLiveDirectoryVolume::writeIdentities(ZLiveIdentitySnapshot::Writer& table) const
{
    ZLiveIdentitySnapshot::Entry e;
    volume_->forEachLinkFacts([&](const ZEmulatedNtfsVolume::LinkFacts& f) {
        e.record = f.record;
        e.sequence = f.sequence;
        e.flags = f.directory ? ZLiveIdentitySnapshot::kFolder : 0;
        e.inode = f.record < inodes_.size() ? inodes_[f.record] : 0;
        e.parent = f.parent;
        e.name = liveNameFromUtf16(f.name);
        e.attributes = f.attributes;
        e.size = f.size;
        e.creationTime = f.times.creationTime;
        e.lastWriteTime = f.times.lastWriteTime;
        e.changeTime = f.times.changeTime;
        table.add(e);
    });
}

void ZLiveDirectoryVolume::saveState()
{
    // Records never placed (the device ended before its event thread ran):
    // the files stay as the last run left them, which is what the volume holds.
    if (!state_ || !volume_ || restorePending_.load())
        return;
    std::lock_guard<std::mutex> g(stateLock_);
    volume_->setJournalObserver(nullptr);
    const ZEmulatedNtfsVolume::JournalState journal = volume_->journalState();
    // A journal deleted (or being deleted) is not one to resume.
    const USN usn = journal.active && !journal.deleting ? journal.data.NextUsn : -1;
    QString error;
    const auto fill = [this](ZLiveIdentitySnapshot::Writer& table) { writeIdentities(table); };
    if (!state_->close(rootDevice_, rootInode_, journal.data.UsnJournalID, usn, fill, &error) && !error.isEmpty())
        logError(QStringLiteral("drive %1 (%2): nothing is kept for the next run: %3")
                     .arg(options_.stateName, QFile::decodeName(root_.c_str()), error));
}

} // namespace Platform
