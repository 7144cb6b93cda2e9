// The GetVolumeInformationW file-system flags an NTFS volume answers with.
#pragma once

#include "win32/win32_types.h"

namespace Ntfs {

enum VolumeFlags : DWORD {
    FileCaseSensitiveSearch = 0x00000001,
    FileCasePreservedNames = 0x00000002,
    FileUnicodeOnDisk = 0x00000004,
    FilePersistentAcls = 0x00000008,
    FileSupportsSparseFiles = 0x00000040,
    FileNamedStreams = 0x00040000,
    FileReadOnlyVolume = 0x00080000,
    FileSupportsHardLinks = 0x00400000,
    FileSupportsUsnJournal = 0x02000000,
};

// A writable NTFS volume's flags.
constexpr DWORD kNtfsVolumeFlags = FileCaseSensitiveSearch | FileCasePreservedNames | FileUnicodeOnDisk
                                   | FilePersistentAcls | FileSupportsSparseFiles | FileNamedStreams
                                   | FileSupportsHardLinks | FileSupportsUsnJournal;

// The longest file-name component NTFS holds, in UTF-16 units.
constexpr DWORD kMaxComponentLength = 255;

} // namespace Ntfs
