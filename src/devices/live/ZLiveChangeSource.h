// Where the live directory volume's changes come from: the kernel's file
// notifications (fanotify or inotify), reduced to events on a name in a
// directory the volume knows by its record number.
#pragma once

#include "win32/win32_types.h"

#include <string>
#include <vector>

namespace Platform {

// A renaming call changes the names first and queues its events after, the
// two halves of a move one after the other: a reader may meet the new names
// before their events, or one half without the other. It waits this long
// for the rest before it takes what it has as the whole story.
constexpr int kRenameEventsLagMs = 50;

struct LiveEvent {
    enum Kind : BYTE {
        NameChanged,     // created or deleted: the name in `directory` is looked at again
        Renamed,         // directory/name -> newDirectory/newName (0: outside the tree)
        DataChanged,     // the file's data was written
        InfoChanged,     // mode, owner or times changed
        DirectoryGone,   // `directory` itself was moved (the root: the volume is gone)
        Overflow,        // the kernel dropped events
        DirectoryDeleted,   // `directory` itself was deleted: a folder made later may have its inode
    };
    Kind kind = NameChanged;
    DWORD directory = 0;
    std::string name;
    DWORD newDirectory = 0;
    std::string newName;
    // DirectoryDeleted: the folder's file reference when the event was read
    // (0: not known), so that a record number given out since is left alone.
    ULONGLONG reference = 0;
};

class ZLiveChangeSource {
public:
    virtual ~ZLiveChangeSource() = default;
    virtual const char* name() const = 0;
    // Begins watching the file system of root. False (with errno) when this
    // source cannot be used here.
    virtual bool start(const std::string& root) = 0;
    // Follows the open directory dirFd, known as record. False (with errno)
    // when it cannot be followed.
    virtual bool watchDirectory(int dirFd, DWORD record) = 0;
    virtual void forgetDirectory(DWORD record) = 0;
    // A directory watched under a provisional number is known as record from now on.
    virtual void renumberDirectory(DWORD provisional, DWORD record) = 0;
    // The descriptor to poll for events.
    virtual int fd() const = 0;
    // Reads every event the kernel holds now (never blocks) and appends them.
    virtual void readEvents(std::vector<LiveEvent>& out) = 0;
};

} // namespace Platform
