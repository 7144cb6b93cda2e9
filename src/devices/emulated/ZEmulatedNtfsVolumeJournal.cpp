// ZEmulatedNtfsVolume: journal records of changes and the journal calls.
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"
#include "win32/ZClock.h"
#include "win32/ZUsnRequest.h"
#include "win32/ZTimeConstants.h"
#include "devices/ZUsnJournalStore.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

// ---------------------------------------------------------------------------
// Journal writing (lock held)

void ZEmulatedNtfsVolume::journal(DWORD r, const Link& link, DWORD reasons)
{
    if (!journalActive_ || journalDeleting_ || journalPaused_)
        return;
    Slot& s = slots_[r];
    ZUsnJournalStore::Entry e;
    e.fileReference = referenceOf(r);
    e.parentReference = parentReferenceOf(link);
    e.reason = reasons;
    e.attributes = s.attributes;
    e.securityId = kDefaultSecurityId;
    e.timeStamp = nowFileTime();
    char16_t scratch[ZNameArena::kMaxUnits];
    e.name = unitsOf(link, scratch);
    e.nameLength = link.nameLength;
    s.usn = journal_->append(e);
    if (journalObserver_)
        journalObserver_(journal_->recordAtOrAfter(s.usn));
    journal_->trim(journalMaximumSize_, journalAllocationDelta_);
    changed_.notify_all();
}

DWORD ZEmulatedNtfsVolume::openReasonsOf(DWORD r) const
{
    auto it = openReasons_.find(r);
    return it == openReasons_.end() ? 0 : it->second;
}

void ZEmulatedNtfsVolume::setOpenReasons(DWORD r, DWORD reasons)
{
    if (reasons)
        openReasons_[r] = reasons;
    else
        openReasons_.erase(r);
}

void ZEmulatedNtfsVolume::note(DWORD r, DWORD reason)
{
    const DWORD open = openReasonsOf(r);
    if ((open | reason) == open)
        return;                          // Windows writes a reason once per open
    setOpenReasons(r, open | reason);
    const int p = primaryLink(r);
    if (p >= 0)
        journal(r, linkAt(r, size_t(p)), open | reason);
}

void ZEmulatedNtfsVolume::closeLocked(DWORD r)
{
    const DWORD open = openReasonsOf(r);
    if (!open)
        return;
    const int p = primaryLink(r);
    if (p >= 0)
        journal(r, linkAt(r, size_t(p)), open | USN_REASON_CLOSE);
    setOpenReasons(r, 0);
}

void ZEmulatedNtfsVolume::closeIfAuto(DWORD r)
{
    if (options_.autoClose)
        closeLocked(r);
}

// ---------------------------------------------------------------------------
// The journal from the volume's side

void ZEmulatedNtfsVolume::beginJournalDeletion(DWORD durationMs)
{
    std::lock_guard<std::mutex> g(lock_);
    journalDeleting_ = true;
    deletionDeadlineMs_ = durationMs == INFINITE ? kDeletionOnDemand : Platform::clock().tickMs() + durationMs;
    changed_.notify_all();
}

void ZEmulatedNtfsVolume::finishJournalDeletion()
{
    std::lock_guard<std::mutex> g(lock_);
    finishDeletionLocked();
}

void ZEmulatedNtfsVolume::finishDeletionLocked()
{
    if (!journalDeleting_)
        return;
    journalDeleting_ = false;
    journalActive_ = false;
    journal_->reset(journal_->nextUsn());
    changed_.notify_all();
}

void ZEmulatedNtfsVolume::settleDeletion()
{
    if (journalDeleting_ && deletionDeadlineMs_ != kDeletionOnDemand
        && Platform::clock().tickMs() >= deletionDeadlineMs_)
        finishDeletionLocked();
}

void ZEmulatedNtfsVolume::discardJournalEntries()
{
    std::lock_guard<std::mutex> g(lock_);
    journal_->reset(journal_->nextUsn() + kUsnRecordAlignment);
    changed_.notify_all();
}

void ZEmulatedNtfsVolume::releaseJournalReads()
{
    std::lock_guard<std::mutex> g(lock_);
    releasedUpTo_ = journal_->nextUsn();
    changed_.notify_all();
}

bool ZEmulatedNtfsVolume::journalReadWaitingAtEnd() const
{
    std::lock_guard<std::mutex> g(lock_);
    return waitingReadAt_ >= 0 && waitingReadAt_ == journal_->nextUsn();
}

USN_JOURNAL_DATA_V1 ZEmulatedNtfsVolume::journalDataLocked() const
{
    USN_JOURNAL_DATA_V1 d{};
    d.UsnJournalID = journalId_;
    d.FirstUsn = journal_->firstUsn();
    d.NextUsn = journal_->nextUsn();
    d.LowestValidUsn = lowestValidUsn_;
    d.MaxUsn = kMaxUsn;
    d.MaximumSize = journalMaximumSize_;
    d.AllocationDelta = journalAllocationDelta_;
    d.MinSupportedMajorVersion = kUsnRecordMajorVersion;
    d.MaxSupportedMajorVersion = kUsnRecordMajorVersion;
    return d;
}

BOOL ZEmulatedNtfsVolume::queryJournal(void* out, DWORD outSize, DWORD* returned)
{
    settleDeletion();
    if (journalDeleting_)
        return fail(ERROR_JOURNAL_DELETE_IN_PROGRESS);
    if (!journalActive_)
        return fail(ERROR_JOURNAL_NOT_ACTIVE);
    if (outSize < sizeof(USN_JOURNAL_DATA_V0))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const USN_JOURNAL_DATA_V1 d = journalDataLocked();
    const DWORD size = outSize >= sizeof(USN_JOURNAL_DATA_V1) ? DWORD(sizeof(USN_JOURNAL_DATA_V1))
                                                             : DWORD(sizeof(USN_JOURNAL_DATA_V0));
    std::memcpy(out, &d, size);
    *returned = size;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::createJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(CREATE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    CREATE_USN_JOURNAL_DATA request;
    std::memcpy(&request, in, sizeof request);
    settleDeletion();
    if (journalDeleting_)
        return fail(ERROR_JOURNAL_DELETE_IN_PROGRESS);
    journalMaximumSize_ = request.MaximumSize;
    journalAllocationDelta_ = request.AllocationDelta;
    if (journalActive_) {
        // An existing journal keeps its identity; only its sizes change.
        journal_->trim(journalMaximumSize_, journalAllocationDelta_);
    } else {
        journalId_ = std::max<DWORDLONG>(nowFileTime(), journalId_ + 1);
        journal_->reset(journal_->nextUsn());
        lowestValidUsn_ = journal_->firstUsn();
        journalActive_ = true;
    }
    changed_.notify_all();
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::deleteJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize)
{
    if (inSize < sizeof(DELETE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    DELETE_USN_JOURNAL_DATA request;
    std::memcpy(&request, in, sizeof request);
    const DWORD known = USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY;
    if (!request.DeleteFlags || (request.DeleteFlags & ~known))
        return fail(ERROR_INVALID_PARAMETER);
    settleDeletion();
    if ((request.DeleteFlags & USN_DELETE_FLAG_DELETE) && !journalDeleting_) {
        if (!journalActive_)
            return fail(ERROR_JOURNAL_NOT_ACTIVE);
        if (request.UsnJournalID != journalId_)
            return fail(ERROR_INVALID_PARAMETER);
        journalDeleting_ = true;
        deletionDeadlineMs_ = Platform::clock().tickMs();   // done by the next look
        changed_.notify_all();
    }
    if ((request.DeleteFlags & USN_DELETE_FLAG_NOTIFY) && journalDeleting_) {
        if (deletionDeadlineMs_ == kDeletionOnDemand) {
            finishDeletionLocked();
        } else {
            const ULONGLONG now = Platform::clock().tickMs();
            const ULONGLONG wait = deletionDeadlineMs_ > now ? deletionDeadlineMs_ - now : 0;
            const ULONGLONG generation = cancelGeneration_;
            Platform::clock().waitFor(changed_, lock, DWORD(std::min<ULONGLONG>(wait, INFINITE - 1)), [&] {
                return !journalDeleting_ || cancelGeneration_ != generation || faults_.notReady();
            });
            if (cancelGeneration_ != generation)
                return fail(ERROR_OPERATION_ABORTED);
            if (faults_.notReady())
                return fail(ERROR_NOT_READY);
            finishDeletionLocked();
        }
    } else {
        settleDeletion();
    }
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::readJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize,
                                      void* out, DWORD outSize, DWORD* returned)
{
    READ_USN_JOURNAL_DATA_V1 request;
    if (!readUsnRequest<READ_USN_JOURNAL_DATA_V1, READ_USN_JOURNAL_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(USN))
        return fail(ERROR_INSUFFICIENT_BUFFER);

    // The journal's state decides the error; checked again after any wait.
    auto journalError = [&]() -> DWORD {
        settleDeletion();
        if (journalDeleting_)
            return ERROR_JOURNAL_DELETE_IN_PROGRESS;
        if (!journalActive_)
            return ERROR_JOURNAL_NOT_ACTIVE;
        if (request.UsnJournalID != journalId_)
            return ERROR_INVALID_PARAMETER;
        return ERROR_SUCCESS;
    };
    if (DWORD e = journalError())
        return fail(e);
    USN start = request.StartUsn;
    if (start == 0)
        start = journal_->firstUsn();    // 0 reads from the first record there is
    if (start < 0 || start > journal_->nextUsn())
        return fail(ERROR_INVALID_PARAMETER);
    if (start < journal_->firstUsn())
        return fail(ERROR_JOURNAL_ENTRY_DELETED);

    if (request.BytesToWaitFor) {
        const LONGLONG t = LONGLONG(request.Timeout);
        DWORD timeoutMs;
        if (t == 0) {
            timeoutMs = INFINITE;
        } else {
            // Negative: relative, in 100 ns units; positive: an absolute FILETIME.
            const ULONGLONG ticks = t < 0 ? ULONGLONG(-(t + 1)) + 1
                                          : (ULONGLONG(t) > nowFileTime() ? ULONGLONG(t) - nowFileTime() : 0);
            const ULONGLONG ms = (ticks + kFileTimeTicksPerMs - 1) / kFileTimeTicksPerMs;
            timeoutMs = DWORD(std::min<ULONGLONG>(ms, INFINITE - 1));
        }
        const ULONGLONG generation = cancelGeneration_;
        const DWORDLONG id = journalId_;
        waitingReadAt_ = start;
        Platform::clock().waitFor(changed_, lock, timeoutMs, [&] {
            return cancelGeneration_ != generation || faults_.notReady() || !journalActive_ || journalDeleting_
                || journalId_ != id || journal_->firstUsn() > start || start < releasedUpTo_
                || ULONGLONG(journal_->nextUsn() - start) >= request.BytesToWaitFor;
        });
        waitingReadAt_ = -1;
        if (cancelGeneration_ != generation)
            return fail(ERROR_OPERATION_ABORTED);
        if (faults_.notReady())
            return fail(ERROR_NOT_READY);
        if (DWORD e = journalError())
            return fail(e);
        if (start < journal_->firstUsn())
            return fail(ERROR_JOURNAL_ENTRY_DELETED);
    }

    BYTE* o = static_cast<BYTE*>(out);
    DWORD at = sizeof(USN);
    USN next = start;
    bool any = false;
    for (const USN_RECORD_V2* rec = journal_->recordAtOrAfter(start); rec; rec = journal_->nextRecord(rec)) {
        const bool wanted = (rec->Reason & request.ReasonMask)
            && (!request.ReturnOnlyOnClose || (rec->Reason & USN_REASON_CLOSE));
        if (wanted) {
            if (at + rec->RecordLength > outSize) {
                if (!any)
                    return fail(ERROR_INSUFFICIENT_BUFFER);
                break;
            }
            std::memcpy(o + at, rec, rec->RecordLength);
            at += rec->RecordLength;
            any = true;
        }
        next = rec->Usn + rec->RecordLength;
    }
    if (!journal_->recordAtOrAfter(start))
        next = std::max(start, journal_->nextUsn());
    std::memcpy(o, &next, sizeof next);
    *returned = at;
    return TRUE;
}

} // namespace Platform
