// The one writer of USN_RECORD_V2, as FSCTL_ENUM_USN_DATA and
// FSCTL_READ_USN_JOURNAL return them: the fixed 60-byte head, the name in
// UTF-16 right after it, zero padding to the next 8-byte boundary.
//
//   0  RecordLength   4  Major=2, Minor=0   8  FileReferenceNumber
//  16  ParentFileReferenceNumber            24 Usn        32 TimeStamp
//  40  Reason        44  SourceInfo         48 SecurityId 52 FileAttributes
//  56  FileNameLength (bytes)  58 FileNameOffset (60)     60 FileName...
#pragma once

#include "win32/win32_ioctl.h"

#include <cstddef>

namespace Ntfs {

constexpr WORD kUsnRecordV2Major = 2;
constexpr DWORD kUsnRecordV2NameOffset = offsetof(USN_RECORD_V2, FileName);

struct UsnRecordFields {
    ULONGLONG fileReference = 0;
    ULONGLONG parentReference = 0;
    USN usn = 0;
    LONGLONG timeStamp = 0;
    DWORD reason = 0;
    DWORD sourceInfo = 0;
    DWORD securityId = 0;
    DWORD attributes = 0;
    const WCHAR* name = nullptr;
    size_t nameLength = 0;  // in UTF-16 units
};

// The record's length for a name of nameLength units, padding included.
DWORD usnRecordV2Length(size_t nameLength);

// Writes the record at out, which holds at least usnRecordV2Length() bytes,
// and returns its length.
DWORD writeUsnRecordV2(BYTE* out, const UsnRecordFields& fields);

} // namespace Ntfs
