// Reading a Linux directory tree for the live directory volume: directory
// entries through getdents64 and their metadata through statx, symbolic
// links never followed, automounts never triggered; and the walks of the
// volume's tree built on them (ZLiveTreeWalker).
#pragma once

#include "win32/win32_types.h"

#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    bool birthTime = false;      // creationTime is the file system's birth time

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

class ZLiveDirectoryVolume;

// The walks of a live directory volume's tree: the first one at open (two
// readers list and stat, one thread files), and the later ones of a folder
// met anew or of the whole tree after lost events. Each folder is opened by
// name in its open parent from the root down, and watched before it is
// listed. Runs with the volume's state lock held.
class ZLiveTreeWalker {
public:
    // An open folder, shared by the folders still to be read below it.
    struct OpenFolder {
        explicit OpenFolder(int descriptor) : fd(descriptor) {}
        ~OpenFolder() { ::close(fd); }
        OpenFolder(const OpenFolder&) = delete;
        OpenFolder& operator=(const OpenFolder&) = delete;
        int fd;
    };
    using FolderRef = std::shared_ptr<OpenFolder>;
    // A folder's path, for the log only: the path above it and its own name.
    // The folders waiting to be read share what lies above them, so a deep
    // tree costs each name once, not a whole path per folder waiting.
    struct PathNode {
        PathNode(std::shared_ptr<PathNode> up, const std::string& own) : above(std::move(up)), name(own) {}
        // The nodes above it that only it holds go with it, one after the
        // other: a deep tree's chain cannot run the stack out.
        ~PathNode();
        PathNode(const PathNode&) = delete;
        PathNode& operator=(const PathNode&) = delete;
        std::shared_ptr<PathNode> above;
        std::string name;   // the whole path where nothing is above
    };
    using PathRef = std::shared_ptr<PathNode>;
    static PathRef pathNode(const PathRef& above, const std::string& name);
    static std::string pathOf(const PathRef& node);
    // A folder met in a listing, to be read: by name in its open parent,
    // while it is still the inode listed.
    struct FolderToRead {
        FolderRef parent;
        std::string name;
        ULONGLONG inode = 0;
        PathRef path;
        DWORD record = 0;
    };

    explicit ZLiveTreeWalker(ZLiveDirectoryVolume& volume);

    void firstWalk();
    // The folder of a record, opened from the root down by the names the
    // volume knows (its path in `path`); null when they are stale, or (with
    // *notFolder set) when the record holds no folder.
    FolderRef openFolder(DWORD record, std::string& path, bool* notFolder = nullptr);
    // Reads the tree of a folder just met (or marks it unread).
    void walkChild(const FolderRef& parent, const std::string& name, const LiveFileStat& st,
                   const std::string& path, DWORD record);
    // The same for a folder a walk met but could not read (moved away
    // first): the names it held before that its tree no longer has are
    // looked at again (after a restart it holds the last run's).
    void walkUnread(const FolderRef& parent, const std::string& name, const LiveFileStat& st,
                    const std::string& path, DWORD record);
    // Reads the tree below start; with `seen`, marks every record met.
    void walk(const FolderRef& start, const std::string& path, DWORD record, std::vector<bool>* seen = nullptr);

private:
    FolderRef openListed(const FolderToRead& folder, DWORD record);
    int listingDescriptor(const OpenFolder& folder, const std::string& path, DWORD record);
    void scanDirectory(const FolderRef& folder, const PathRef& path, DWORD record,
                       std::vector<FolderToRead>& subdirs, std::vector<bool>* seen);

    ZLiveDirectoryVolume& v_;
};

} // namespace Platform
