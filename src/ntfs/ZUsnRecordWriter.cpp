#include "ntfs/ZUsnRecordWriter.h"

#include <cstring>

namespace Ntfs {

DWORD usnRecordV2Length(size_t nameLength)
{
    const DWORD raw = kUsnRecordV2NameOffset + DWORD(nameLength * sizeof(WCHAR));
    return (raw + kUsnRecordAlignment - 1) & ~(kUsnRecordAlignment - 1);
}

DWORD writeUsnRecordV2(BYTE* out, const UsnRecordFields& f)
{
    const DWORD length = usnRecordV2Length(f.nameLength);
    USN_RECORD_V2 rec{};
    rec.RecordLength = length;
    rec.MajorVersion = kUsnRecordV2Major;
    rec.MinorVersion = 0;
    rec.FileReferenceNumber = f.fileReference;
    rec.ParentFileReferenceNumber = f.parentReference;
    rec.Usn = f.usn;
    rec.TimeStamp.QuadPart = f.timeStamp;
    rec.Reason = f.reason;
    rec.SourceInfo = f.sourceInfo;
    rec.SecurityId = f.securityId;
    rec.FileAttributes = f.attributes;
    rec.FileNameLength = WORD(f.nameLength * sizeof(WCHAR));
    rec.FileNameOffset = WORD(kUsnRecordV2NameOffset);
    std::memset(out, 0, length);
    std::memcpy(out, &rec, kUsnRecordV2NameOffset);
    if (f.nameLength)
        std::memcpy(out + kUsnRecordV2NameOffset, f.name, f.nameLength * sizeof(WCHAR));
    return length;
}

} // namespace Ntfs
