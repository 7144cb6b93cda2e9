// The MFT enumeration of a raw NTFS volume (FSCTL_ENUM_USN_DATA) and the
// file-record reads that follow it (FSCTL_GET_NTFS_FILE_RECORD).
#include "devices/raw/ZRawNtfsVolumeParts.h"
#include "ntfs/ZUsnRecordWriter.h"
#include "win32/ZUsnRequest.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Platform {

using namespace RawNtfs;

BOOL ZRawNtfsVolume::enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    MFT_ENUM_DATA_V1 request;
    if (!readUsnRequest<MFT_ENUM_DATA_V1, MFT_ENUM_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kEnumHeader + kUsnRecordV2Header)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (request.LowUsn > request.HighUsn)
        return fail(ERROR_INVALID_PARAMETER);

    std::lock_guard<std::mutex> g(lock_);
    ULONGLONG r = Ntfs::recordNumberOf(request.StartFileReferenceNumber);
    if (r == 0) {
        QString ignored;
        loadMftLayout(&ignored);
    }
    const bool journalActive = journalRecord_ != 0;
    BYTE* const base = static_cast<BYTE*>(out);
    DWORD pos = kEnumHeader;
    bool anyRecord = false;
    const DWORD recordSize = geometry_.recordSize;
    DWORD scanned = 0;
    FileSummary s;
    bool full = false;
    const DWORD chunkRecords = DWORD(std::max<size_t>(1, kChunkBytes / recordSize));
    for (; r < mftRecords_ && scanned < chunkRecords;) {
        // Read a chunk of records at once; keep it for the record reads that follow.
        RecordChunk& c = chunk_;
        c.first = r;
        c.count = std::min<ULONGLONG>(chunkRecords, mftRecords_ - r);
        c.bytes.resize(size_t(c.count) * recordSize);
        c.states.assign(size_t(c.count), StateCorrupt);
        const bool chunkRead
            = readRuns(mftRuns_, ULONGLONG(mftValidLength_), r * recordSize, c.bytes.data(), c.bytes.size(), false);
        for (ULONGLONG i = 0; i < c.count; ++i) {
            BYTE* rec = c.bytes.data() + size_t(i) * recordSize;
            if (chunkRead)
                c.states[size_t(i)] = BYTE(stateCode(checkFileRecord(rec, recordSize)));
            else
                c.states[size_t(i)] = BYTE(readRecord(r + i, rec));
        }
        ULONGLONG i = 0;
        for (; i < c.count; ++i, ++scanned) {
            const ULONGLONG number = r + i;
            const BYTE* rec = c.bytes.data() + size_t(i) * recordSize;
            // The metadata files 0..15 are not enumerated, as on Windows.
            if (number < Ntfs::RecordFirstUser || c.states[size_t(i)] != StateInUse
                || recordHeader(rec).baseFileRecord != 0 || !summarize(number, rec, s))
                continue;
            const USN usn = journalActive ? s.usn : 0;
            if (usn < request.LowUsn || usn > request.HighUsn)
                continue;
            const DWORD length = Ntfs::usnRecordV2Length(size_t(s.name.size()));
            if (length > outSize - pos) {
                full = true;
                break;
            }
            Ntfs::UsnRecordFields fields;
            fields.fileReference = Ntfs::makeFileReference(number, s.sequence);
            fields.parentReference = s.parent;
            fields.usn = usn;
            fields.securityId = s.securityId;
            fields.attributes = s.attributes;
            fields.name = s.name.data();
            fields.nameLength = size_t(s.name.size());
            Ntfs::writeUsnRecordV2(base + pos, fields);
            pos += length;
            anyRecord = true;
        }
        r += i;
        if (full)
            break;
    }
    if (full && !anyRecord)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!anyRecord && r >= mftRecords_)
        return fail(ERROR_HANDLE_EOF);
    const DWORDLONG next = r;
    std::memcpy(base, &next, sizeof next);
    *bytesReturned = pos;
    return TRUE;
}

BOOL ZRawNtfsVolume::getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned)
{
    if (inSize < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER))
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD header = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    if (outSize < header + geometry_.recordSize)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    NTFS_FILE_RECORD_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    std::lock_guard<std::mutex> g(lock_);
    ULONGLONG r = Ntfs::recordNumberOf(ULONGLONG(request.FileReferenceNumber.QuadPart));
    if (r >= mftRecords_) {
        QString ignored;
        loadMftLayout(&ignored);
        if (r >= mftRecords_)
            r = mftRecords_ - 1;
    }
    BYTE* const base = static_cast<BYTE*>(out);
    BYTE* const rec = base + header;
    // A record not in use (or torn) answers with the nearest lower one in use.
    for (;; --r) {
        if (cachedRecord(r, rec) == StateInUse)
            break;
        if (r == 0)
            return fail(ERROR_FILE_CORRUPT);
    }
    NTFS_FILE_RECORD_OUTPUT_BUFFER answer;
    answer.FileReferenceNumber.QuadPart = LONGLONG(Ntfs::makeFileReference(r, recordHeader(rec).sequenceNumber));
    answer.FileRecordLength = geometry_.recordSize;
    std::memcpy(base, &answer, header);
    *bytesReturned = header + geometry_.recordSize;
    return TRUE;
}

} // namespace Platform
