// The runners of the table, registered before main runs.
#include "frame/ZRunnerTable.h"

#include <QDebug>

namespace SearchEngine {

namespace {

int runService(int, char**)
{
    qDebug() << "TestService: the search service is not built into this executable yet";
    return 0;
}

int runDriveVolumeWindow(int, char**)
{
    qDebug() << "TestDriveVolume: the drive volume test window is not built into this executable yet";
    return 0;
}

int runSharedPool(int, char**)
{
    return 0;
}

const ZRunnerRegistration driveVolumeRunner("TestDriveVolume", runDriveVolumeWindow);
const ZRunnerRegistration serviceRunner("TestService", runService);
const ZRunnerRegistration sharedPoolRunner("TestSharedPool", runSharedPool);

} // namespace

} // namespace SearchEngine
