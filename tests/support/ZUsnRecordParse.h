// The USN_RECORD_V2 records of an FSCTL_ENUM_USN_DATA or FSCTL_READ_USN_JOURNAL
// answer, for the device tests: each must lie whole, with its name, inside
// the answer (a test failure otherwise, and the walk ends there). And the
// calls themselves over any device: a journal read, a whole enumeration and
// one FILE record.
#pragma once

#include "devices/ZVolumeDevice.h"
#include "ntfs/ntfs_record.h"
#include "win32/win32_ioctl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

struct UsnRec {
    ULONGLONG ref, parent;
    USN usn;
    DWORD reason, attributes;
    std::u16string name;
};

// The records after the answer's 8-byte next position, of `returned` bytes.
inline std::vector<UsnRec> usnRecords(const BYTE* out, DWORD returned)
{
    constexpr DWORD kFixed = offsetof(USN_RECORD_V2, FileName);
    constexpr DWORD kPosition = sizeof(USN);
    std::vector<UsnRec> v;
    for (DWORD at = kPosition; at < returned;) {
        USN_RECORD_V2 r{};
        const bool headed = returned - at >= kFixed;
        if (headed)
            std::memcpy(&r, out + at, kFixed);
        const bool whole = headed && r.RecordLength >= kFixed && r.RecordLength % kUsnRecordAlignment == 0
                           && r.RecordLength <= returned - at
                           && DWORD(r.FileNameOffset) + r.FileNameLength <= r.RecordLength;
        if (!whole) {
            ADD_FAILURE() << "malformed USN record at " << at << " of " << returned;  // no endless loop either
            break;
        }
        EXPECT_EQ(r.MajorVersion, 2);
        std::u16string name(r.FileNameLength / sizeof(WCHAR), u'\0');
        std::memcpy(&name[0], out + at + r.FileNameOffset, name.size() * sizeof(WCHAR));
        v.push_back({r.FileReferenceNumber, r.ParentFileReferenceNumber, r.Usn, r.Reason, r.FileAttributes, name});
        at += r.RecordLength;
    }
    return v;
}

// One device control call: a handle's DeviceIoControl, or a device's own.
struct DeviceCall : std::function<BOOL(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got)> {
    using function::function;
    DeviceCall(Platform::ZVolumeDevice& d)
        : function([&d](DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got) {
              return d.deviceIoControl(code, in, inSize, out, outSize, got);
          })
    {
    }
};

// Every reason, version 2; a wait ends after `timeout` (relative, 100 ns units; 0: until cancelled).
inline READ_USN_JOURNAL_DATA_V1 readRequest(DWORDLONG journalId, USN start, ULONGLONG waitFor = 0,
                                            LONGLONG timeout = -50000000LL)
{
    return {start, 0xFFFFFFFFu, 0, ULONGLONG(timeout), waitFor, journalId, 2, 2, {}};
}

// One FSCTL_READ_USN_JOURNAL: its records and the next USN, or the error.
struct JournalRead {
    bool ok = false;
    DWORD error = 0;
    USN next = 0;
    std::vector<UsnRec> records;
};
template <typename Request>
JournalRead readJournal(const DeviceCall& call, const Request& request, DWORD outSize = 64 * 1024)
{
    JournalRead r;
    std::vector<BYTE> out(outSize);
    DWORD got = 0;
    r.ok = call(FSCTL_READ_USN_JOURNAL, &request, sizeof request, out.data(), outSize, &got);
    r.error = r.ok ? 0 : GetLastError();
    if (r.ok) {
        std::memcpy(&r.next, out.data(), sizeof r.next);
        r.records = usnRecords(out.data(), got);
    }
    return r;
}

// Every record from `from` on, read until a read moves no further; ok and
// error are the last read's, next where the next read would start.
inline JournalRead readJournalToEnd(const DeviceCall& call, DWORDLONG journalId, USN from, DWORD outSize = 64 * 1024)
{
    JournalRead all;
    all.next = from;
    for (;;) {
        const JournalRead r = readJournal(call, readRequest(journalId, all.next), outSize);
        all.ok = r.ok;
        all.error = r.error;
        all.records.insert(all.records.end(), r.records.begin(), r.records.end());
        if (!r.ok || r.next == all.next)
            return all;
        all.next = r.next;
    }
}

// FSCTL_QUERY_USN_JOURNAL; a refusal is a test failure.
inline USN_JOURNAL_DATA_V1 queryJournal(const DeviceCall& call)
{
    USN_JOURNAL_DATA_V1 j{};
    DWORD got = 0;
    EXPECT_TRUE(call(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    return j;
}

// The whole FSCTL_ENUM_USN_DATA walk below highUsn, in calls of outSize
// bytes; a walk that does not end (a hostile volume) stops at a million calls.
struct Enumeration {
    std::vector<UsnRec> records;
    DWORD calls = 0;
    DWORD lastError = 0; // the error that ended it
};
inline Enumeration enumerate(const DeviceCall& call, USN highUsn, DWORD outSize = 0x80008)
{
    constexpr DWORD kMaxCalls = 1000000;
    Enumeration e;
    MFT_ENUM_DATA_V1 request{0, 0, highUsn, 2, 2, {}};
    std::vector<BYTE> out(outSize);
    DWORD got = 0;
    for (; e.calls < kMaxCalls && call(FSCTL_ENUM_USN_DATA, &request, sizeof request, out.data(), outSize, &got);
         ++e.calls) {
        EXPECT_GE(got, sizeof(USN));
        std::memcpy(&request.StartFileReferenceNumber, out.data(), sizeof request.StartFileReferenceNumber);
        const std::vector<UsnRec> some = usnRecords(out.data(), got);
        e.records.insert(e.records.end(), some.begin(), some.end());
    }
    e.lastError = GetLastError();
    return e;
}

// One FSCTL_GET_NTFS_FILE_RECORD of a volume of `recordSize`-byte records
// into rec (a larger output buffer, of which only the answer is counted);
// the number of the record that answered, or ~0 on failure.
inline ULONGLONG fileRecord(const DeviceCall& call, ULONGLONG record, DWORD recordSize, std::vector<BYTE>& rec)
{
    constexpr DWORD kHeader = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    constexpr DWORD kSlack = 8;
    std::vector<BYTE> out(kHeader + recordSize + kSlack);
    NTFS_FILE_RECORD_INPUT_BUFFER in{};
    in.FileReferenceNumber.QuadPart = LONGLONG(record);
    DWORD got = 0;
    if (!call(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, out.data(), DWORD(out.size()), &got))
        return ~0ull;
    NTFS_FILE_RECORD_OUTPUT_BUFFER head;
    std::memcpy(&head, out.data(), kHeader);
    EXPECT_EQ(std::make_pair(got, head.FileRecordLength), std::make_pair(kHeader + recordSize, recordSize));
    rec.assign(out.begin() + kHeader, out.begin() + kHeader + recordSize);
    return Ntfs::recordNumberOf(ULONGLONG(head.FileReferenceNumber.QuadPart));
}

} // namespace TestSupport
