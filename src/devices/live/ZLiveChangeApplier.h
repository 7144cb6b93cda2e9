// Brings a live directory volume in line with a name on disk: an event names
// a directory entry, the entry is looked at again, and the volume's records
// are created, renamed, linked, changed or removed as Windows would, each
// writing its journal records. Runs with the volume's state lock held.
#pragma once

#include "devices/live/ZLiveChangeSource.h"
#include "devices/live/ZLiveTreeWalker.h"

#include <string>

namespace Platform {

class ZLiveDirectoryVolume;

class ZLiveChangeApplier {
public:
    using FolderRef = ZLiveTreeWalker::FolderRef;

    explicit ZLiveChangeApplier(ZLiveDirectoryVolume& volume);

    // False when the event's folder path is stale (a rename still queued).
    bool apply(const LiveEvent& e);
    // Looks at the entry `name` of dir on disk again; false when dir's path is stale.
    bool syncName(DWORD dir, const std::string& name, LiveEvent::Kind cause);
    // Files one entry; with its parent folder open, a new folder's tree is read too.
    DWORD addEntry(DWORD dir, const std::string& name, const std::u16string& name16,
                   const LiveFileStat& st, const FolderRef& parent, const std::string& path);
    void update(DWORD record, const LiveFileStat& st, const std::string& name, LiveEvent::Kind cause);
    // Removes one name; a folder's contents go first, as a deletion of the tree.
    void dropName(DWORD record, DWORD dir, const std::u16string& name16);
    // After a walk: the names of one file that it filed as two records
    // (a link made between its meeting the two names) put on one record.
    void joinSplitLinks();

private:
    void rename(const LiveEvent& e);
    void syncSide(DWORD dir, const std::string& name);
    bool elsewhereOnDisk(DWORD dir, const std::string& name, DWORD record);
    void removeSubtree(DWORD folder);

    ZLiveDirectoryVolume& v_;
};

} // namespace Platform
