// The change journal as it lies in $Extend\$UsnJrnl: its $Max value and the
// USN_RECORD_V3 form its $J stream may hold, packed little-endian.
// USN_RECORD_V2 is a control-code structure (win32/win32_ioctl.h), written
// by ZUsnRecordWriter alone.
//
// $Max:          0 maximumSize  8 allocationDelta  16 journalId  24 lowestValidUsn
// USN_RECORD_V3: 0 RecordLength  4 MajorVersion=3  6 MinorVersion
//                8 FileReferenceNumber (128-bit)  24 ParentFileReferenceNumber
//               40 Usn  48 TimeStamp  56 Reason  60 SourceInfo  64 SecurityId
//               68 FileAttributes  72 FileNameLength (bytes)  74 FileNameOffset
//               76 FileName...
#pragma once

#include "win32/win32_ioctl.h"

#include <cstddef>
#include <cstring>

namespace Ntfs {

constexpr WORD kUsnRecordV3Major = 3;

#pragma pack(push, 1)

struct UsnJournalMax {
    DWORDLONG maximumSize;       //  0
    DWORDLONG allocationDelta;   //  8
    DWORDLONG journalId;         // 16
    USN lowestValidUsn;          // 24
};
static_assert(offsetof(UsnJournalMax, journalId) == 16, "UsnJournalMax layout");
static_assert(sizeof(UsnJournalMax) == 32, "UsnJournalMax layout");

struct UsnRecordV3Header {
    DWORD RecordLength;                  //  0
    WORD MajorVersion;                   //  4
    WORD MinorVersion;                   //  6
    BYTE FileReferenceNumber[16];        //  8
    BYTE ParentFileReferenceNumber[16];  // 24
    USN Usn;                             // 40
    LARGE_INTEGER TimeStamp;             // 48
    DWORD Reason;                        // 56
    DWORD SourceInfo;                    // 60
    DWORD SecurityId;                    // 64
    DWORD FileAttributes;                // 68
    WORD FileNameLength;                 // 72
    WORD FileNameOffset;                 // 74
};
static_assert(offsetof(UsnRecordV3Header, ParentFileReferenceNumber) == 24, "USN_RECORD_V3 layout");
static_assert(offsetof(UsnRecordV3Header, Usn) == 40, "USN_RECORD_V3 layout");
static_assert(offsetof(UsnRecordV3Header, Reason) == 56, "USN_RECORD_V3 layout");
static_assert(offsetof(UsnRecordV3Header, FileNameLength) == 72, "USN_RECORD_V3 layout");
static_assert(sizeof(UsnRecordV3Header) == 76, "USN_RECORD_V3 layout");

#pragma pack(pop)

// The low 64 bits of a 128-bit reference, when its high 64 bits are zero (as
// every NTFS reference is).
inline bool usnReference64(const BYTE (&reference)[16], ULONGLONG* low)
{
    ULONGLONG high;
    std::memcpy(low, reference, sizeof *low);
    std::memcpy(&high, reference + sizeof *low, sizeof high);
    return high == 0;
}

// A V3 record of `length` bytes whose name lies inside it, in whole units.
inline bool usnRecordV3NameFits(const UsnRecordV3Header& r, DWORD length)
{
    return length >= sizeof r && r.FileNameOffset >= sizeof r
           && DWORD(r.FileNameOffset) + r.FileNameLength <= length && r.FileNameLength % sizeof(WCHAR) == 0;
}

} // namespace Ntfs
