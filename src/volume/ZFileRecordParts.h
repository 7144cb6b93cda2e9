// What the volume code takes from one file (its base record and, through an
// attribute list, its extension records): the names and the unnamed $DATA.
#pragma once

#include "ntfs/ntfs_format.h"

#include <QVarLengthArray>

namespace SearchEngine {

// The pointers point into the volume's record buffers and stay valid until
// the next record read into the same block. Every pointer handed out comes
// from the NTFS attribute walk (ntfs/ZNtfsRecord.h) and lies, with
// everything the readers below use, inside its record's used bytes: a
// $FILE_NAME value with its whole name, a $DATA header with its size fields.
struct FileRecordParts {
    // Win32, POSIX and Win32+DOS names, in record order; a file's few names
    // stay inline (no allocation per record read).
    QVarLengthArray<const Ntfs::FileNameAttribute*, 4> names;
    const Ntfs::AttributeHeader* data = nullptr; // unnamed $DATA, null when the file has none
};

// The size of a file from its unnamed $DATA: the data size when
// non-resident, the value length when resident.
inline ULONGLONG fileSizeOfData(const Ntfs::AttributeHeader* data)
{
    if (!data)
        return 0;
    return data->nonResident ? ULONGLONG(data->u.nonResident.dataSize)
                             : ULONGLONG(data->u.resident.valueLength);
}

} // namespace SearchEngine
