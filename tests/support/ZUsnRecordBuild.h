// A USN_RECORD_V2 made by hand for the volume tests, written as the journal
// writes it, and a view of its head for tests that then break a field.
#pragma once

#include "ntfs/ZUsnRecordWriter.h"
#include "ntfs/ntfs_record.h"

#include <string>
#include <vector>

namespace TestSupport {

// File `record` under folder `parent`, both references with `sequence`;
// slackBytes zero bytes follow the record, so that a name claimed past its
// end reads the test's own bytes rather than beyond the buffer.
inline std::vector<BYTE> usnRecordBytes(DWORD record, DWORD parent, const std::u16string& name, DWORD reasons,
                                        USN usn, WORD sequence = 1, size_t slackBytes = 0)
{
    Ntfs::UsnRecordFields f;
    f.fileReference = Ntfs::makeFileReference(record, sequence);
    f.parentReference = Ntfs::makeFileReference(parent, sequence);
    f.usn = usn;
    f.reason = reasons;
    f.name = name.data();
    f.nameLength = name.size();
    std::vector<BYTE> bytes(Ntfs::usnRecordV2Length(name.size()) + slackBytes, 0);
    Ntfs::writeUsnRecordV2(bytes.data(), f);
    return bytes;
}

inline USN_RECORD_V2* asUsnRecord(std::vector<BYTE>& bytes)
{
    return reinterpret_cast<USN_RECORD_V2*>(bytes.data());
}

} // namespace TestSupport
