// Timing program: save and load of a drive cache file of many items
// (default one million), against a full MFT enumeration of the same
// emulated volume. Prints seconds for each and the ratios.
//
//   drive_cache_bench [files]
#include "BenchTiming.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "volume/ZDriveVolume.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'B';
constexpr int kFolderPercent = 8;
constexpr int kMaxNameLength = 40;

std::u16string makeName(std::mt19937& random, unsigned serial)
{
    std::u16string name = u"f";
    const size_t length = 5 + random() % (kMaxNameLength - 5);
    while (name.size() < length)
        name += char16_t(u'a' + random() % 26);
    do {
        name += char16_t(u'0' + serial % 10);
        serial /= 10;
    } while (serial);
    return name;
}

} // namespace

int main(int argc, char** argv)
{
    // Segments and the cache file stay in folders of this run.
    QTemporaryDir temp;
    for (const char* name : {"TMPDIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME"}) {
        const QString dir = temp.path() + QLatin1Char('/') + QLatin1String(name);
        QDir().mkpath(dir);
        setenv(name, dir.toLocal8Bit().constData(), 1);
    }

    const unsigned files = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000000u;
    auto device = std::make_shared<ZEmulatedNtfsVolume>();
    Platform::ZDriveTable::instance().setDrive(kDrive, device);
    std::mt19937 random(7);
    std::vector<DWORD> folders{Ntfs::RecordRoot};
    for (unsigned i = 0; i < files; ++i) {
        const DWORD parent = folders[random() % folders.size()];
        if (random() % 100 < kFolderPercent) {
            if (DWORD f = device->createFolder(parent, makeName(random, i)))
                folders.push_back(f);
        } else {
            device->createFile(parent, makeName(random, i));
        }
    }

    ZDriveVolume built(kDrive);
    if (built.initDriveVolume() != ZDriveVolume::InitOk) {
        std::fprintf(stderr, "the volume did not open\n");
        return 1;
    }
    SearchEngine::DirectoryMap pendingParents, knownDirectories;
    auto start = std::chrono::steady_clock::now();
    built.enumerateMft([&](USN_RECORD_V2* rec) { built.addEnumeratedRecord(rec, pendingParents, knownDirectories); });
    const double enumerate = secondsSince(start);
    SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);

    built.buildTime = QDateTime::currentDateTime();
    built.savedUsn = built.journalData.NextUsn;
    start = std::chrono::steady_clock::now();
    built.saveDriveCache();
    const double save = secondsSince(start);
    const QString path = QFileInfo(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) +
                                   QStringLiteral("/Orvanta/SearchService/DriveCacheB.dat")).absoluteFilePath();

    ZDriveVolume loaded(kDrive);
    loaded.journalData = built.journalData;
    start = std::chrono::steady_clock::now();
    const bool ok = loaded.loadDriveCache();
    const double load = secondsSince(start);

    std::printf("items: %zu in %d pieces; cache file %.1f MiB\n", built.recordMap.size(), built.pieceCount(),
                QFileInfo(path).size() / 1048576.0);
    std::printf("enumeration: %.2f s\n", enumerate);
    std::printf("save: %.2f s (%.2f of the enumeration)\n", save, enumerate > 0 ? save / enumerate : 0.0);
    std::printf("load: %.2f s (%.2f of the enumeration), %s, %zu items\n", load, enumerate > 0 ? load / enumerate : 0.0,
                ok ? "accepted" : "REJECTED", loaded.recordMap.size());
    built.closeVolume();
    Platform::ZDriveTable::instance().removeDrive(kDrive);
    return ok && loaded.recordMap.size() == built.recordMap.size() ? 0 : 1;
}
