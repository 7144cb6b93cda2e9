// Following the volume's USN change journal: read from a position onwards,
// pass each record with the reasons that are new for its file, and give up
// when the journal can no longer be read at that position.
#include "volume/ZDriveVolume.h"

#include "diagnostics/ZTelemetry.h"
#include "frame/ZLog.h"
#include "frame/ZSettings.h"
#include "win32/ZTimeConstants.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace SearchEngine {

namespace {

// One read: the next USN, then USN_RECORD_V2 records back to back.
constexpr DWORD kJournalOutputSize = 8 * 1024 + sizeof(USN);
constexpr DWORD kAllReasons = 0xFFFFFFFFu;
constexpr LONGLONG kReadTimeout = -50000000;   // 5 s, relative, in 100 ns units
constexpr DWORDLONG kBytesToWaitFor = 4096;
constexpr WORD kRecordMajorVersion = 2;
constexpr DWORD kRetryDelayMs = Platform::kJournalRetryDelayMs;
// The pause is taken in slices so that a stop ends it early.
constexpr DWORD kRetrySliceMs = 100;
// ERROR_INVALID_PARAMETER this many times in a row is retried; once more gives up.
constexpr int kParameterRetries = 3;
constexpr DWORD kRecordHeaderSize = offsetof(USN_RECORD_V2, FileName);
constexpr DWORD kReadAgainAtClose = USN_REASON_DATA_OVERWRITE | USN_REASON_DATA_EXTEND
                                    | USN_REASON_DATA_TRUNCATION | USN_REASON_HARD_LINK_CHANGE;

// Reasons seen per file since its last close; passes on only the new ones.
class ReasonFilter {
public:
    // The bits of `reasons` to hand on for the file (0: none).
    DWORD newReasons(DWORD recordNumber, DWORD reasons)
    {
        auto it = reasonsSoFar_.find(recordNumber);
        const DWORD old = it == reasonsSoFar_.end() ? 0 : it->second;
        // A proper subset grew; anything else (same bits, or bits gone as when
        // the file's reasons started afresh) counts whole.
        DWORD fresh = (old != reasons && (old & ~reasons) == 0) ? (reasons & ~old) : reasons;
        if (fresh & USN_REASON_CLOSE) {
            if (it != reasonsSoFar_.end())
                reasonsSoFar_.erase(it);
            fresh &= ~USN_REASON_CLOSE;
            // Writes and link changes after the first one of an open file write
            // no record of their own: the close is the only news of the final
            // size and links, so those bits go on once more with it.
            fresh |= reasons & kReadAgainAtClose;
        } else if (it != reasonsSoFar_.end()) {
            it->second = reasons;
        } else {
            reasonsSoFar_.emplace(recordNumber, reasons);
        }
        return fresh;
    }

private:
    std::unordered_map<DWORD, DWORD> reasonsSoFar_;
};

// The record at `offset` of a batch of `size` bytes, or null when it is not
// a whole, well-formed record inside the batch.
USN_RECORD_V2* recordAt(BYTE* batch, DWORD size, DWORD offset)
{
    if (offset > size || size - offset < kRecordHeaderSize)
        return nullptr;
    auto* rec = reinterpret_cast<USN_RECORD_V2*>(batch + offset);
    const DWORD length = rec->RecordLength;
    if (length < kRecordHeaderSize || length % kUsnRecordAlignment != 0 || length > size - offset)
        return nullptr;
    if (rec->MajorVersion != kRecordMajorVersion)
        return nullptr;
    const DWORD nameEnd = DWORD(rec->FileNameOffset) + rec->FileNameLength;
    if (rec->FileNameOffset < kRecordHeaderSize || rec->FileNameLength % sizeof(WCHAR) != 0 || nameEnd > length)
        return nullptr;
    return rec;
}

// Sleeps ms (on the clock seam) unless `stop` is set meanwhile.
void sleepUnlessStopped(DWORD ms, const std::atomic<bool>& stop)
{
    for (DWORD slept = 0; slept < ms && !stop.load(); slept += kRetrySliceMs)
        Sleep(std::min(kRetrySliceMs, ms - slept));
}

} // namespace

ZDriveVolume::MonitorEnd ZDriveVolume::monitorUsnJournal(USN startUsn,
                                                         const std::function<void(USN_RECORD_V2*, DWORD, DWORD)>& consumer)
{
    // 0: from the journal's next USN, as set up when the volume was opened.
    const USN start = startUsn != 0 ? startUsn : journalData.NextUsn;
    USN currUsn = start;
    USN lastUsn = start;
    // The records written before the volume was opened (a cache saved
    // earlier than the journal's end) are read without waiting for a full
    // batch: until they are in, the index shows names that are gone.
    bool catchingUp = start < journalData.NextUsn;
    const auto stopped = [&] { return MonitorEnd{currUsn, true}; };
    const auto gaveUp = [&] { return MonitorEnd{currUsn, false}; };
    ReasonFilter filter;
    int parameterFailures = 0;
    ScanStats stats;
    stats.drive = QString("%1").arg(QChar(m_drive));

    // 8-byte aligned, as the records in it are.
    std::unique_ptr<ULONGLONG[]> output(new ULONGLONG[kJournalOutputSize / sizeof(ULONGLONG)]);
    BYTE* batch = reinterpret_cast<BYTE*>(output.get());

    READ_USN_JOURNAL_DATA_V1 request{};
    request.ReasonMask = kAllReasons;
    request.ReturnOnlyOnClose = 0;
    request.Timeout = static_cast<DWORDLONG>(kReadTimeout);
    request.BytesToWaitFor = kBytesToWaitFor;
    request.UsnJournalID = journalData.UsnJournalID;
    request.MinMajorVersion = kRecordMajorVersion;
    request.MaxMajorVersion = kRecordMajorVersion;

    // Ends monitoring for this run: report, remember the drive for a rebuild
    // (reason 87 only), log and tell the service.
    auto giveUp = [&](DWORD reason) {
        serviceStartTick().sendReport(ReportListenFailed, int(reason), stats);
        if (reason == ERROR_INVALID_PARAMETER) {
            settingsSetValue(QStringLiteral("SearchServiceQuitReason"), int((ERROR_INVALID_PARAMETER << 16) | m_drive));
            LOG(ERROR) << "Listening Parameter Error, Try to Restart[LastUSN,CurrUSN]:[" << lastUsn << ","
                       << currUsn << "]!";
        } else {
            LOG(ERROR) << "Listening Parameter Error, drive not ready!!!";
        }
        emitUnlessStopped([&] { emit listenFailed(reason); });
    };

    while (!stopRequested.load()) {
        request.StartUsn = currUsn;
        request.BytesToWaitFor = catchingUp ? 0 : kBytesToWaitFor;
        DWORD returned = 0;
        ++stats.updatecount;
        if (DeviceIoControl(volumeHandle, FSCTL_READ_USN_JOURNAL, &request, sizeof(request), batch,
                            kJournalOutputSize, &returned, nullptr)) {
            parameterFailures = 0;
            if (returned > kJournalOutputSize)
                returned = kJournalOutputSize;
            if (returned < sizeof(USN)) {
                // No next USN: a malformed answer, asked again after the
                // retry delay so that a device answering so cannot spin us.
                sleepUnlessStopped(kRetryDelayMs, stopRequested);
                continue;
            }
            lastUsn = currUsn;
            currUsn = *reinterpret_cast<const USN*>(batch);
            // Caught up, or a read that moved nothing on: wait as usual.
            if (currUsn >= journalData.NextUsn || currUsn <= lastUsn)
                catchingUp = false;
            DWORD offset = sizeof(USN);
            while (offset < returned) {
                USN_RECORD_V2* rec = recordAt(batch, returned, offset);
                if (!rec) {
                    // A malformed record: the rest of the batch cannot be walked.
                    LOG(ERROR) << ushort(m_drive) << "-Monitor Usn Bad Record : " << lastUsn << "+" << offset;
                    break;
                }
                const DWORD recordNumber = DWORD(rec->FileReferenceNumber);
                const DWORD fresh = filter.newReasons(recordNumber, rec->Reason);
                if (fresh)
                    consumer(rec, recordNumber, fresh);
                offset += rec->RecordLength;
            }
            continue;
        }

        const DWORD error = GetLastError();
        // A stop cancels a blocked read: not a failure of the journal.
        if (stopRequested.load())
            return stopped();
        LOG(ERROR) << ushort(m_drive) << "-Monitor Usn Failed : " << error;
        switch (error) {
        case ERROR_INVALID_PARAMETER:
            if (++parameterFailures > kParameterRetries) {
                giveUp(ERROR_INVALID_PARAMETER);
                return gaveUp();
            }
            sleepUnlessStopped(kRetryDelayMs, stopRequested);
            break;
        case ERROR_NOT_READY:
            giveUp(ERROR_NOT_READY);
            return gaveUp();
        case ERROR_JOURNAL_ENTRY_DELETED:
        case ERROR_JOURNAL_NOT_ACTIVE:
            // The position (or the journal) is gone: no retry can succeed, and
            // the changes in between are lost. Rebuild the drive next start.
            giveUp(ERROR_INVALID_PARAMETER);
            return gaveUp();
        default:
            sleepUnlessStopped(kRetryDelayMs, stopRequested);
            break;
        }
    }
    return stopped();
}

} // namespace SearchEngine
