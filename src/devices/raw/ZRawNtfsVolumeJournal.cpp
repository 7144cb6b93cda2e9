// The change journal of a raw NTFS volume: $Extend\$UsnJrnl's state and
// the reading of its $J stream (FSCTL_READ_USN_JOURNAL), V2 and V3 records
// alike, answered as USN_RECORD_V2.
#include "devices/raw/ZRawNtfsVolumeParts.h"
#include "ntfs/ZUsnRecordWriter.h"
#include "win32/ZClock.h"
#include "win32/ZTimeConstants.h"
#include "win32/ZUsnRequest.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

using namespace RawNtfs;

namespace {

// The fields USN_RECORD_V2 and V3 share (all but the references), of a
// record that starts at `record`.
template <typename Record>
void takeCommonFields(const Record& h, const BYTE* record, Ntfs::UsnRecordFields& f)
{
    f.usn = h.Usn;
    f.timeStamp = h.TimeStamp.QuadPart;
    f.reason = h.Reason;
    f.sourceInfo = h.SourceInfo;
    f.securityId = h.SecurityId;
    f.attributes = h.FileAttributes;
    f.name = reinterpret_cast<const WCHAR*>(record + h.FileNameOffset);
    f.nameLength = h.FileNameLength / sizeof(WCHAR);
}

} // namespace

// The journal's state as the volume holds it now.
bool ZRawNtfsVolume::loadJournal(JournalState& state)
{
    state = JournalState();
    std::vector<BYTE> rec(geometry_.recordSize);
    const auto isJournalRecord = [&](ULONGLONG r) {
        if (!r || readRecord(r, rec.data()) != StateInUse || recordHeader(rec.data()).baseFileRecord != 0)
            return false;
        FileSummary s;
        return summarize(r, rec.data(), s) && Ntfs::recordNumberOf(s.parent) == Ntfs::RecordExtend
               && s.name == u"$UsnJrnl";
    };
    if (!isJournalRecord(journalRecord_)) {
        journalRecord_ = findInDirectory(Ntfs::RecordExtend, u"$UsnJrnl");
        if (!isJournalRecord(journalRecord_)) {
            journalRecord_ = 0;
            return false;
        }
    }
    AttributeData max;
    if (!collectAttribute(journalRecord_, rec.data(), Ntfs::AttrData, kMax, 4, max) || !max.resident
        || max.value.size() < sizeof(Ntfs::UsnJournalMax))
        return false;
    Ntfs::UsnJournalMax m;
    std::memcpy(&m, max.value.data(), sizeof m);
    if (!collectAttribute(journalRecord_, rec.data(), Ntfs::AttrData, kJ, 2, state.stream) || state.stream.unsupported)
        return false;
    const AttributeData& j = state.stream;
    state.id = m.journalId;
    state.maximumSize = m.maximumSize;
    state.allocationDelta = m.allocationDelta;
    state.lowestValidUsn = std::max<USN>(0, m.lowestValidUsn);
    state.nextUsn = std::max<LONGLONG>(0, j.dataSize);
    // The first record sits at the start of the first stored (not sparse) run.
    USN first = state.nextUsn;
    if (j.resident) {
        first = 0;
    } else {
        for (const ZNtfsRun& run : j.runs.runs()) {
            if (run.lcn != ZNtfsRunList::kSparseLcn) {
                const ULONGLONG at = ULONGLONG(run.vcn) * geometry_.bytesPerCluster;
                first = USN(std::min<ULONGLONG>(at, ULONGLONG(state.nextUsn)));
                break;
            }
        }
    }
    state.firstUsn = std::min(std::max(first, state.lowestValidUsn), state.nextUsn);
    state.active = true;
    return true;
}

// Copies the records of $J from `start` on into out (after its 8-byte next
// USN), as many as fit and at most a bounded scan; *next is where the next
// read goes on.
DWORD ZRawNtfsVolume::copyJournalRecords(const JournalState& state, const READ_USN_JOURNAL_DATA_V1& request,
                                         USN start, BYTE* out, DWORD outSize, USN* next)
{
    DWORD pos = kEnumHeader;
    USN at = start;
    const USN end = state.nextUsn;
    const USN scanLimit = start + USN(kJournalScanPerCall);
    std::vector<BYTE> window;
    USN windowAt = 0;
    const auto bytesAt = [&](USN usn, size_t n) -> const BYTE* {
        if (!window.empty() && usn >= windowAt && ULONGLONG(usn - windowAt) + n <= window.size())
            return window.data() + (usn - windowAt);
        windowAt = usn - usn % kJournalPage;
        const size_t size = size_t(std::min<USN>(USN(kJournalWindow), end - windowAt));
        if (size < ULONGLONG(usn - windowAt) + n)
            return nullptr;
        window.resize(size);
        if (!readAttribute(state.stream, ULONGLONG(windowAt), window.data(), size, true)) {
            window.clear();
            return nullptr;
        }
        return window.data() + (usn - windowAt);
    };
    const auto nextPage = [](USN usn) { return usn - usn % kJournalPage + kJournalPage; };
    while (at < end && at < scanLimit) {
        // Holes of a sparse stream hold no records: skip them whole.
        if (!state.stream.resident) {
            const ZNtfsRun* run = state.stream.runs.find(at / LONGLONG(geometry_.bytesPerCluster));
            if (!run || run->lcn == ZNtfsRunList::kSparseLcn) {
                USN skipTo = end;
                if (run)
                    skipTo = std::min<USN>(end, (run->vcn + run->length) * LONGLONG(geometry_.bytesPerCluster));
                else
                    for (const ZNtfsRun& rr : state.stream.runs.runs())
                        if (rr.vcn * LONGLONG(geometry_.bytesPerCluster) > at) {
                            skipTo = std::min<USN>(end, rr.vcn * LONGLONG(geometry_.bytesPerCluster));
                            break;
                        }
                at = skipTo;
                continue;
            }
        }
        if (at % 8 != 0) {
            at += 8 - at % 8;
            continue;
        }
        const BYTE* h = bytesAt(at, 8);
        if (!h)
            break;
        const DWORD length = load<DWORD>(h);
        if (length == 0) {
            at += 8;  // padding up to the next page
            continue;
        }
        const WORD major = load<WORD>(h + offsetof(USN_RECORD_V2, MajorVersion));
        const BYTE* r = (length >= kUsnRecordV2Header && length <= kMaxUsnRecord && length % 8 == 0
                         && USN(length) <= end - at)
                            ? bytesAt(at, length)
                            : nullptr;
        bool valid = r != nullptr && (major == Ntfs::kUsnRecordV2Major || major == Ntfs::kUsnRecordV3Major);
        Ntfs::UsnRecordFields fields;
        if (valid && major == Ntfs::kUsnRecordV2Major) {
            USN_RECORD_V2 v2;
            std::memcpy(&v2, r, kUsnRecordV2Header);
            valid = v2.FileNameOffset >= kUsnRecordV2Header
                    && DWORD(v2.FileNameOffset) + v2.FileNameLength <= length && v2.FileNameLength % 2 == 0;
            fields.fileReference = v2.FileReferenceNumber;
            fields.parentReference = v2.ParentFileReferenceNumber;
            takeCommonFields(v2, r, fields);
        } else if (valid) {
            Ntfs::UsnRecordV3Header v3;
            valid = length >= sizeof v3;
            if (valid) {
                std::memcpy(&v3, r, sizeof v3);
                valid = Ntfs::usnReference64(v3.FileReferenceNumber, &fields.fileReference)
                        && Ntfs::usnReference64(v3.ParentFileReferenceNumber, &fields.parentReference)
                        && Ntfs::usnRecordV3NameFits(v3, length);
                takeCommonFields(v3, r, fields);
            }
        }
        if (!valid) {
            at = nextPage(at);  // a damaged record: go on at the next page
            continue;
        }
        const bool wanted = (fields.reason & request.ReasonMask)
                            && (!request.ReturnOnlyOnClose || (fields.reason & USN_REASON_CLOSE));
        if (wanted) {
            const DWORD outLength = Ntfs::usnRecordV2Length(fields.nameLength);
            if (outLength > outSize - pos)
                break;
            Ntfs::writeUsnRecordV2(out + pos, fields);
            pos += outLength;
        }
        at += length;
    }
    *next = std::min(at, end);
    return pos;
}

BOOL ZRawNtfsVolume::readJournal(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    READ_USN_JOURNAL_DATA_V1 request;
    if (!readUsnRequest<READ_USN_JOURNAL_DATA_V1, READ_USN_JOURNAL_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kEnumHeader)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (request.StartUsn < 0)
        return fail(ERROR_INVALID_PARAMETER);

    const ULONGLONG generation = cancelGeneration_.load();
    ZClock& clk = clock();
    const ULONGLONG startTick = clk.tickMs();
    // Timeout: negative is relative (100 ns units), positive an absolute
    // FILETIME, zero none.
    const LONGLONG timeout = LONGLONG(request.Timeout);
    bool noTimeout = timeout == 0;
    ULONGLONG waitMs = 0;
    if (timeout < 0) {
        waitMs = ULONGLONG(-(timeout + 1)) / kFileTimeTicksPerMs + 1;
    } else if (timeout > 0) {
        const LONGLONG now = LONGLONG(fileTimeFromUnixMs(clk.now().toMSecsSinceEpoch()));
        waitMs = timeout > now ? ULONGLONG(timeout - now) / kFileTimeTicksPerMs : 0;
    }

    JournalState state;
    USN start = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            chunk_ = RecordChunk();  // records read after this must be current
            if (!loadJournal(state)) {
                state = JournalState();
                state.id = noJournalToken_;
                state.firstUsn = state.nextUsn = USN(noJournalToken_);
            }
        }
        if (request.UsnJournalID != state.id)
            return fail(ERROR_INVALID_PARAMETER);
        start = request.StartUsn == 0 ? state.firstUsn : request.StartUsn;
        if (start < state.firstUsn)
            return fail(ERROR_JOURNAL_ENTRY_DELETED);
        const ULONGLONG waiting = state.nextUsn > start ? ULONGLONG(state.nextUsn - start) : 0;
        if (request.BytesToWaitFor == 0 || waiting >= request.BytesToWaitFor)
            break;
        const ULONGLONG elapsed = clk.tickMs() - startTick;
        if (!noTimeout && elapsed >= waitMs)
            break;
        const DWORD slice = DWORD(noTimeout ? kJournalPollMs : std::min<ULONGLONG>(kJournalPollMs, waitMs - elapsed));
        std::unique_lock<std::mutex> wait(waitLock_);
        if (clk.waitFor(waitCv_, wait, slice, [&] { return cancelGeneration_.load() != generation; }))
            return fail(ERROR_OPERATION_ABORTED);
    }

    BYTE* const base = static_cast<BYTE*>(out);
    USN next = start;
    DWORD pos = kEnumHeader;
    if (state.active && start < state.nextUsn) {
        std::lock_guard<std::mutex> g(lock_);
        pos = copyJournalRecords(state, request, start, base, outSize, &next);
        if (pos == kEnumHeader && next == start)
            return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(base, &next, sizeof next);
    *bytesReturned = pos;
    return TRUE;
}

} // namespace Platform
