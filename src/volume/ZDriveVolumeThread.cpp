// The volume thread: opens the drive, takes the index from the cache file or
// builds it from the MFT, announces it and follows the change journal.
#include "volume/ZDriveVolume.h"

#include "diagnostics/ZTelemetry.h"
#include "frame/ZLog.h"
#include "frame/ZSettings.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QHash>
#include <QMetaType>
#include <QSet>
#include <QUuid>

namespace SearchEngine {

namespace {

// Settings values the thread reads and writes.
const char kQuitReasonKey[] = "SearchServiceQuitReason";
const char kInitTimesKey[] = "SearchServiceInitTimes";

// A forced rebuild needs more than this many starts in the current window.
constexpr int kRebuildInitTimes = 2;
constexpr int kQuitReasonErrorShift = 16;
constexpr int kQuitReasonMask = 0xFFFF;
constexpr qint64 kMillisecondsPerSecond = 1000;

// How long the destructor waits between two wake-ups of a blocked read.
constexpr unsigned long kStopPollMs = 20;

} // namespace

ZDriveVolume::ZDriveVolume(unsigned short drive)
    : QThread(nullptr)
    , m_drive(drive)
{
    // DWORD and ULONGLONG are the argument types of the signals; queued
    // connections need them by these names (DWORD is 32 bits here).
    qRegisterMetaType<DWORD>("DWORD");
    qRegisterMetaType<ULONGLONG>("ULONGLONG");

    pool = new ZSharedPool(QUuid::createUuid().toString(), m_drive);
    pool->setPieceAppendedCallback([this](unsigned short uDrive, int pieceSize) {
        emitUnlessStopped([&] { emit pieceAppended(uDrive, DWORD(pieceSize)); });
    });
}

ZDriveVolume::~ZDriveVolume()
{
    // The thread must be gone before the pool and the buffers: ask it to stop
    // and keep waking a journal read that it may have entered after the flag
    // was set.
    stop();
    while (!wait(kStopPollMs))
        cancelBlockedRead();
    closeVolume();
    delete pool; // releases every piece
    pool = nullptr;
}

void ZDriveVolume::stop()
{
    // Under the lock of the emissions: once this returns, the thread emits
    // nothing more. It does not wait for the thread: a blocked journal read
    // is woken, the other steps test the flag.
    std::lock_guard<std::recursive_mutex> guard(stopLock);
    stopRequested.store(true);
    cancelBlockedRead();
}

void ZDriveVolume::cancelBlockedRead()
{
    std::lock_guard<std::recursive_mutex> guard(stopLock);
    if (cancelHandle)
        CancelIoEx(cancelHandle, nullptr);
}

void ZDriveVolume::publishVolumeHandle()
{
    std::lock_guard<std::recursive_mutex> guard(stopLock);
    cancelHandle = volumeHandle;
}

void ZDriveVolume::closeVolumeForThread()
{
    {
        std::lock_guard<std::recursive_mutex> guard(stopLock);
        cancelHandle = nullptr;
    }
    closeVolume();
}

void ZDriveVolume::announce(bool bSucceed)
{
    emitUnlessStopped([&] {
        initDoneFlag.store(true);
        emit initDone(bSucceed, pool->name(), m_drive, m_modifyCounter.load(), DWORD(pool->pieceCount()));
    });
}

void ZDriveVolume::run()
{
    ScanStats stats;
    stats.drive = QString("%1").arg(QChar(m_drive));

    const DWORD code = initDriveVolume();
    publishVolumeHandle();
    if (code != InitOk) {
        sendReport(ReportDriveInit, int(code), stats);
        closeVolumeForThread();
        LOG(ERROR) << "init nfts volume failed!";
        announce(false);
        return;
    }
    if (stopRequested.load()) {
        closeVolumeForThread();
        return;
    }

    const int quitReason = settingsValue(kQuitReasonKey, 0).toInt();
    const int initTimes = settingsValue(kInitTimesKey, 0).toInt();
    const int quitError = (quitReason >> kQuitReasonErrorShift) & kQuitReasonMask;
    const int quitDrive = quitReason & kQuitReasonMask;

    bool build = false;
    if (initTimes > kRebuildInitTimes && quitError == int(ERROR_INVALID_PARAMETER) && quitDrive == m_drive) {
        // The journal monitor gave up on this drive in an earlier run.
        LOG(DEBUG) << tr("last quit reason:%1, try reload mft:%2!").arg(quitError).arg(m_drive);
        settingsSetValue(kQuitReasonKey, 0);
        if (!recreateUsnJournal()) {
            sendReport(ReportJournalRecreate, 0, stats);
            closeVolumeForThread();
            announce(false);
            return;
        }
        build = true;
    } else {
        removeDepartedDriveCaches();
        build = !loadDriveCachePool();
    }

    if (build && !stopRequested.load()) {
        DirectoryMap pendingParents;
        DirectoryMap knownDirectories;
        const ULONGLONG t0 = GetTickCount64();
        sendReport(ReportBuildBegin, 0, stats);
        enumerateMft([this, &pendingParents, &knownDirectories](USN_RECORD_V2* rec) {
            // A stop ends the work; what is left of the walk costs only reads.
            if (!stopRequested.load())
                addEnumeratedRecord(rec, pendingParents, knownDirectories);
        });
        if (stopRequested.load()) {
            // A partial walk is never saved: the next start rebuilds.
            freeDirectoryNodes(knownDirectories, pendingParents);
            closeVolumeForThread();
            return;
        }
        stats.scansec = int((GetTickCount64() - t0) / kMillisecondsPerSecond);
        pruneOrphans(pendingParents, knownDirectories);
        stats.scanfiles = int(recordMap.size());
        sendReport(ReportBuildEnd, 0, stats);
        freeDirectoryNodes(knownDirectories, pendingParents);

        buildTime = Platform::clock().now().toLocalTime();   // the cache keeps local time
        savedUsn = journalData.NextUsn;
        totalChanges = 0;
        saveDriveCache();
    }
    if (stopRequested.load()) {
        closeVolumeForThread();
        return;
    }

    announce(true);
    if (!build)
        fileRecordsOfPool();   // only changes need it

    RecordMap::iterator pendingRename = recordMap.end();
    QDateTime lastSaveTime = Platform::clock().now();
    m_modifyCounter.store(1);
    const MonitorEnd end = monitorUsnJournal(
        savedUsn, [this, &pendingRename, &lastSaveTime](USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons) {
            applyUsnChange(rec, recordNumber, reasons, pendingRename, lastSaveTime);
        });
    // An orderly stop saves what was applied since the last save, so that the
    // next start does not show names gone before it until the journal is read
    // again. Not with a rename half applied or records waiting for a folder:
    // those live only here, and a start from the older file reads them again.
    if (end.stopped && unsavedChanges.load() > 0 && pendingRename == recordMap.end() && parkedRecords.empty())
        saveAppliedChanges(end.position);
    closeVolumeForThread();
}

void ZDriveVolume::pruneOrphans(DirectoryMap& pendingParents, DirectoryMap& knownDirectories)
{
    // The root names itself as its parent, so its placeholder stays pending
    // and stands for the root: whatever hangs below it is reachable.
    const DirectoryNode* rootPlaceholder = pendingParents.value(Ntfs::RecordRoot, nullptr);

    // A directory stays when its chain of parents ends at the root. Chains
    // that end at the placeholder of a parent never seen, or that run in a
    // circle (a corrupt volume), are dropped with everything below them. The
    // maps themselves stay as they are, so that every node is freed later.
    enum class Reach { Visiting, Rooted, Orphaned };
    QHash<const DirectoryNode*, Reach> reach;
    auto resolve = [&](const DirectoryNode* start) {
        QList<const DirectoryNode*> path;
        Reach result = Reach::Orphaned;
        for (const DirectoryNode* node = start;; node = node->parent) {
            if (!node)
                break;
            if (node == rootPlaceholder) {
                result = Reach::Rooted;
                break;
            }
            auto seen = reach.constFind(node);
            if (seen != reach.constEnd()) {
                result = seen.value() == Reach::Visiting ? Reach::Orphaned : seen.value();
                break;
            }
            reach.insert(node, Reach::Visiting);
            path.append(node);
        }
        for (const DirectoryNode* node : path)
            reach.insert(node, result);
        return result;
    };

    QSet<DWORD> reachable;
    if (rootPlaceholder)
        reachable.insert(Ntfs::RecordRoot);
    for (auto it = knownDirectories.constBegin(); it != knownDirectories.constEnd(); ++it) {
        if (resolve(it.value()) == Reach::Rooted)
            reachable.insert(it.key());
    }

    pool->forEachItem([&](ZLockItem handle) {
        ItemRecord* item = handle.record();
        // Copied out: contains() takes a reference, and the packed member may be misaligned.
        const DWORD parent = item ? DWORD(item->parentRecordNumber) : 0;
        if (!item || reachable.contains(parent))
            return true;
        // No reader knows the pool yet: the run is freed without a stamp.
        const DWORD recordNumber = item->recordNumber;
        pruneItem(*pool, handle);
        auto range = recordMap.equal_range(recordNumber);
        for (auto entry = range.first; entry != range.second; ++entry) {
            if (entry->second == item) {
                recordMap.erase(entry);
                break;
            }
        }
        return true;
    });
}

} // namespace SearchEngine
