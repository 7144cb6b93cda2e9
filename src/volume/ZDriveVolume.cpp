// The accessors the service thread uses (construction and destruction go
// with the thread body).
#include "volume/ZDriveVolume.h"

namespace SearchEngine {

void ZDriveVolume::start()
{
    QThread::start(QThread::InheritPriority);
}

QString ZDriveVolume::poolName() const
{
    return pool->name();
}

int ZDriveVolume::pieceCount() const
{
    return pool->pieceCount();
}

} // namespace SearchEngine
