// Temporary bodies of the operations whose own units have not landed yet,
// so that the tree links meanwhile. Each unit deletes its bodies from here
// when it lands (journal: monitorUsnJournal; cache: saveDriveCache,
// loadDriveCache; changes: applyUsnChange, findItemForRecord, matchFileName,
// reasonText; thread: stop, run, pruneOrphans).
#include "volume/ZDriveVolume.h"

namespace SearchEngine {

void ZDriveVolume::saveDriveCache()
{
}

bool ZDriveVolume::loadDriveCache()
{
    return false;
}

} // namespace SearchEngine
