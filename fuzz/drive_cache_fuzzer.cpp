// libFuzzer target over the drive cache load: every input is written as
// drive C's cache file and loaded into an empty pool. An input long enough
// to carry a checksum gets the right one, so that the load goes past it to
// the fields and the pool. A load must reject or accept without reading or
// writing outside any buffer or segment (the build adds AddressSanitizer),
// and an accepted file must give live items.
#include "volume/ZDriveVolume.h"

#include "win32/ZClock.h"
#include "storage/ZSharedPool.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

using namespace SearchEngine;

namespace {

struct FuzzWorld {
    // Seeds are built on 2026-02-28, a day before this clock's now.
    Platform::ZManualClock clock{1000000, QDateTime(QDate(2026, 3, 1), QTime(9, 0, 0))};
    std::unique_ptr<ZDriveVolume> volume;
    QString cacheFile;
};

FuzzWorld* world = nullptr;

// Private folders, so the run touches no real cache, registry or segment
// (made in $TMPDIR, else /tmp).
void isolate()
{
    const char* tmp = getenv("TMPDIR");
    QByteArray root = QByteArray(tmp && *tmp ? tmp : "/tmp") + "/drivecachefuzz-XXXXXX";
    if (!mkdtemp(root.data()))
        abort();
    const char* names[] = {"HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"};
    for (const char* name : names) {
        const QString dir = QString::fromLocal8Bit(root) + QLatin1Char('/') + QString::fromLatin1(name).toLower();
        QDir().mkpath(dir);
        setenv(name, QFile::encodeName(dir).constData(), 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    isolate();
    world = new FuzzWorld;
    Platform::setClock(&world->clock);
    world->volume.reset(new ZDriveVolume(u'C'));
    world->volume->journalData.FirstUsn = 0;
    world->volume->journalData.NextUsn = std::numeric_limits<USN>::max();
    const QString folder = QFile::decodeName(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Orvanta/SearchService");
    QDir().mkpath(folder);
    world->cacheFile = folder + QStringLiteral("/DriveCacheC.dat");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        QByteArray image(reinterpret_cast<const char*>(data), int(size));
        ZDriveVolume::sealDriveCacheImage(image);
        QFile f(world->cacheFile);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        f.write(image);
    }
    ZDriveVolume& v = *world->volume;
    const bool loaded = v.loadDriveCache();
    if (loaded) {
        for (const auto& e : v.recordMap) {
            if (!(e.second->flags & InUse) || e.second->recordNumber != e.first || e.second->modifyStamp != 0)
                abort();
        }
    } else if (v.pool->pieceCount() != 0 || !v.recordMap.empty()) {
        abort();   // a rejected file must leave nothing behind
    }
    v.pool->clear();
    v.recordMap.clear();
    return 0;
}
