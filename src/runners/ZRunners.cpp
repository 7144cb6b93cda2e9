// The runners of the table, registered before main runs. The window runner
// "TestDriveVolume" is in the desktop library (searchservice-desktop).
#include "frame/ZRunnerTable.h"
#include "service/ZSearchEngineService.h"

namespace SearchEngine {

namespace {

int runSharedPool(int, char**)
{
    return 0;
}

const ZRunnerRegistration serviceRunner("TestService", runService);
const ZRunnerRegistration sharedPoolRunner("TestSharedPool", runSharedPool);

} // namespace

} // namespace SearchEngine
