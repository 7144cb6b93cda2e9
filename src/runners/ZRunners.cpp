// The runners of the table, registered before main runs.
#include "frame/ZRunnerTable.h"
#include "runners/ZTestDriveVolume.h"
#include "service/ZSearchEngineService.h"

namespace SearchEngine {

namespace {

int runSharedPool(int, char**)
{
    return 0;
}

const ZRunnerRegistration driveVolumeRunner("TestDriveVolume", runDriveVolumeWindow);
const ZRunnerRegistration serviceRunner("TestService", runService);
const ZRunnerRegistration sharedPoolRunner("TestSharedPool", runSharedPool);

} // namespace

} // namespace SearchEngine
