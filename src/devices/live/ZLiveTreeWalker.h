// Reading a Linux directory tree for the live directory volume: directory
// entries through getdents64 and their metadata through statx, symbolic
// links never followed, automounts never triggered.
#pragma once

#include "win32/win32_types.h"

#include <functional>
#include <string>

namespace Platform {

// One file's metadata, times as FILETIME.
struct LiveFileStat {
    ULONGLONG inode = 0;
    ULONGLONG device = 0;        // major << 32 | minor
    ULONGLONG size = 0;          // regular files; 0 for everything else
    ULONGLONG creationTime = 0;  // birth time where the file system keeps one, else the change time
    ULONGLONG lastWriteTime = 0;
    ULONGLONG changeTime = 0;
    ULONGLONG lastAccessTime = 0;
    DWORD mode = 0;
    DWORD links = 0;

    bool directory() const;
    bool symlink() const;
    // FILE_ATTRIBUTE_* as the volume shows the file under `name`: DIRECTORY,
    // READONLY without any write bit, HIDDEN for dot-names, REPARSE_POINT for
    // symbolic links; NORMAL for a file with none of these.
    DWORD attributes(const std::string& name) const;
};

// statx of name in the directory dirFd (AT_FDCWD with a full path; an empty
// name: dirFd itself). False with errno on failure.
bool liveStat(int dirFd, const char* name, LiveFileStat& out);

// Calls visit(name, nameLength) for every entry of the open directory fd but
// "." and "..". False with errno when the directory cannot be read.
bool liveReadDirectory(int fd, const std::function<void(const char*, size_t)>& visit);

} // namespace Platform
