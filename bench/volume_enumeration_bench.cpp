// Timing program: the MFT enumeration of an emulated volume of many files
// (default one million) into a drive's pool. Prints files per second of the
// enumeration alone and the peak memory of the process.
//
//   volume_enumeration_bench [files]
#include "BenchTiming.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "volume/ZDriveVolume.h"

#include <QTemporaryDir>

#include <sys/resource.h>

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
constexpr int kMaxDepth = 12;
constexpr int kMinNameLength = 5;
constexpr int kMaxNameLength = 40;
constexpr int kFolderPercent = 8;
constexpr int kHardLinkPercent = 2;

// A name of 5 to 40 characters, unique through its serial number.
std::u16string makeName(std::mt19937& random, unsigned serial)
{
    static const char16_t alphabet[] = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.";
    std::u16string tag;
    do {
        tag += char16_t(u'0' + serial % 10);
        serial /= 10;
    } while (serial);
    const size_t length = kMinNameLength + random() % (kMaxNameLength - kMinNameLength + 1);
    std::u16string name;
    while (name.size() + tag.size() + 1 < length)
        name += alphabet[random() % (sizeof(alphabet) / sizeof(alphabet[0]) - 1)];
    return name + u'~' + tag;
}

} // namespace

int main(int argc, char** argv)
{
    // Shared-memory keys and the like stay in a folder of this run.
    QTemporaryDir temp;
    setenv("TMPDIR", temp.path().toLocal8Bit().constData(), 1);

    const unsigned files = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000000u;
    auto device = std::make_shared<ZEmulatedNtfsVolume>();
    Platform::ZDriveTable::instance().setDrive(kDrive, device);

    std::mt19937 random(42);
    struct Folder {
        DWORD record;
        int depth;
    };
    std::vector<Folder> folders{{Ntfs::RecordRoot, 0}};
    std::vector<DWORD> plainFiles;
    unsigned names = 0;
    const auto createStart = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < files; ++i) {
        const Folder parent = folders[random() % folders.size()];
        const std::u16string name = makeName(random, i);
        const unsigned kind = random() % 100;
        if (kind < kHardLinkPercent && !plainFiles.empty()) {
            if (device->link(plainFiles[random() % plainFiles.size()], parent.record, name))
                ++names;
        } else if (kind < kHardLinkPercent + kFolderPercent && parent.depth < kMaxDepth) {
            const DWORD folder = device->createFolder(parent.record, name);
            if (folder) {
                folders.push_back({folder, parent.depth + 1});
                ++names;
            }
        } else {
            ZEmulatedNtfsVolume::CreateOptions options;
            options.size = random() % 8 == 0 ? random() % 50000000 : random() % 4000;
            const DWORD file = device->createFile(parent.record, name, options);
            if (file) {
                plainFiles.push_back(file);
                ++names;
            }
        }
    }
    std::printf("volume: %u names (%zu folders, %zu files) made in %.1f s\n", names, folders.size(),
                plainFiles.size(), secondsSince(createStart));

    ZDriveVolume volume(kDrive);
    if (volume.initDriveVolume() != ZDriveVolume::InitOk) {
        std::fprintf(stderr, "the volume did not open\n");
        return 1;
    }
    SearchEngine::DirectoryMap pendingParents;
    SearchEngine::DirectoryMap knownDirectories;
    const long peakBefore = peakKilobytes();
    const auto start = std::chrono::steady_clock::now();
    volume.enumerateMft([&](USN_RECORD_V2* rec) {
        volume.addEnumeratedRecord(rec, pendingParents, knownDirectories);
    });
    const double seconds = secondsSince(start);
    const size_t items = volume.recordMap.size();
    std::printf("enumeration: %zu items in %.2f s, %.0f items/s, %d pieces\n", items, seconds,
                seconds > 0 ? items / seconds : 0.0, volume.pieceCount());
    std::printf("peak memory: %.1f MiB (%.1f MiB before the enumeration, volume included)\n",
                peakKilobytes() / 1024.0, peakBefore / 1024.0);
    SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);
    volume.closeVolume();
    Platform::ZDriveTable::instance().removeDrive(kDrive);
    return 0;
}
