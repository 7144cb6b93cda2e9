// The runner that needs a desktop, in its own library so that the service
// itself links no Qt Widgets (nor the libGL and X11 they bring).
#include "desktop/ZTestDriveVolume.h"
#include "frame/ZRunnerTable.h"

namespace SearchEngine {

namespace {

const ZRunnerRegistration driveVolumeRunner("TestDriveVolume", runDriveVolumeWindow);

} // namespace

} // namespace SearchEngine
