// The USN_RECORD_V2 records of an FSCTL_ENUM_USN_DATA or FSCTL_READ_USN_JOURNAL
// answer, for the device tests: each must lie whole, with its name, inside
// the answer (a test failure otherwise, and the walk ends there).
#pragma once

#include "win32/win32_ioctl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
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

} // namespace TestSupport
