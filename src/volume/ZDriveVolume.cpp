// Construction, destruction and the accessors the service thread uses.
#include "volume/ZDriveVolume.h"

#include <QMetaType>
#include <QUuid>

namespace SearchEngine {

ZDriveVolume::ZDriveVolume(unsigned short drive)
    : QThread(nullptr)
    , m_drive(drive)
{
    // Queued connections carry the signal arguments by these names; each
    // stands for the type it really is here.
    qRegisterMetaType<ULONGLONG>("ULONGLONG");
    qRegisterMetaType<DWORD>("DWORD");

    // A fresh name per volume object: clients learn it only from initDone.
    pool = new ZSharedPool(QUuid::createUuid().toString(), drive);
    pool->setPieceAppendedCallback([this](unsigned short uDrive, int pieceSize) {
        emit pieceAppended(uDrive, DWORD(pieceSize));
    });
}

ZDriveVolume::~ZDriveVolume()
{
    // The thread must be over before its object goes; stop() has asked it to end.
    stopRequested = true;
    wait();
    closeVolume();
    // The pool's pieces are released with the volume (clients that still
    // map a piece keep their mapping).
    delete pool;
    pool = nullptr;
}

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
