// Timing program: the MFT enumeration of a raw NTFS image with many files
// into a drive's pool, beside the raw device alone and the independent reader
// fsntfsinfo -B on the same image in the same run. The page cache is warmed
// first, so the figures are for a warm cache.
//
//   raw_ntfs_bench [IMAGE [FILES]]
//
// IMAGE defaults to /var/tmp/raw_ntfs_bench.img (kept outside the repository);
// when it is missing, ntfsfixture's library makes it with FILES empty files
// (default one million) in folders of 10,000.
#include "BenchTiming.h"
#include "platform/ZDriveTable.h"
#include "devices/raw/ZRawNtfsVolume.h"
#include "win32/win32_ioctl.h"
#include "volume/ZDriveVolume.h"

#include "ZNtfsFixture.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char16_t kDrive = u'R';
constexpr uint64_t kFilesPerFolder = 10000;
constexpr uint64_t kBytesPerFile = 2048;  // MFT record, index entry and slack

bool makeImage(const std::string& path, uint64_t files)
{
    std::printf("making %s with %llu files...\n", path.c_str(), static_cast<unsigned long long>(files));
    std::string error;
    const uint64_t size = (64ull << 20) + files * kBytesPerFile;
    if (!SearchEngine::ZNtfsFixture::format(path, size, 4096, "bench", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    SearchEngine::ZNtfsFixture fixture;
    bool ok = fixture.open(path);
    for (uint64_t made = 0, folder = 0; ok && made < files; made += kFilesPerFolder, ++folder)
        ok = fixture.makeMany("/d" + std::to_string(folder), std::min(kFilesPerFolder, files - made));
    ok = ok && fixture.close();
    if (!ok)
        std::fprintf(stderr, "%s\n", fixture.lastError().c_str());
    return ok;
}

// The device alone: FSCTL_ENUM_USN_DATA and one FSCTL_GET_NTFS_FILE_RECORD
// per enumerated record, as the enumeration asks them.
size_t deviceWalk(Platform::ZVolumeDevice& device, const NTFS_VOLUME_DATA_BUFFER& volume,
                  const USN_JOURNAL_DATA_V1& journal)
{
    DWORD n = 0;
    MFT_ENUM_DATA_V1 request{};
    request.HighUsn = journal.NextUsn;
    request.MinMajorVersion = request.MaxMajorVersion = 2;
    std::vector<BYTE> out(0x80008);
    std::vector<BYTE> record(volume.BytesPerFileRecordSegment + 15);
    size_t count = 0;
    while (device.deviceIoControl(FSCTL_ENUM_USN_DATA, &request, sizeof request, out.data(), DWORD(out.size()), &n)) {
        std::memcpy(&request.StartFileReferenceNumber, out.data(), 8);
        for (DWORD p = 8; p < n;) {
            USN_RECORD_V2 rec;
            std::memcpy(&rec, out.data() + p, offsetof(USN_RECORD_V2, FileName));
            NTFS_FILE_RECORD_INPUT_BUFFER in;
            in.FileReferenceNumber.QuadPart = LONGLONG(rec.FileReferenceNumber & 0xFFFFFFFFull);
            DWORD m = 0;
            device.deviceIoControl(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, record.data(), DWORD(record.size()), &m);
            p += rec.RecordLength;
            ++count;
        }
    }
    return count;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir temp;
    setenv("TMPDIR", temp.path().toLocal8Bit().constData(), 1);
    const std::string image = argc > 1 ? argv[1] : "/var/tmp/raw_ntfs_bench.img";
    const uint64_t files = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000ull;
    if (!QFile::exists(QString::fromStdString(image)) && !makeImage(image, files))
        return 1;

    QString error;
    auto device = Platform::openRawNtfsVolume(QString::fromStdString(image), &error);
    if (!device || !error.isEmpty()) {
        std::fprintf(stderr, "not an NTFS image: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    // Open as the volume code does, warm the page cache, then time the
    // device alone.
    NTFS_VOLUME_DATA_BUFFER volumeData{};
    USN_JOURNAL_DATA_V1 journal{};
    DWORD n = 0;
    auto start = std::chrono::steady_clock::now();
    device->deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &volumeData, sizeof volumeData, &n);
    device->deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof journal, &n);
    double seconds = secondsSince(start);
    std::printf("open: volume data and journal query in %.2f s\n", seconds);
    deviceWalk(*device, volumeData, journal);
    start = std::chrono::steady_clock::now();
    const size_t walked = deviceWalk(*device, volumeData, journal);
    seconds = secondsSince(start);
    std::printf("device: %zu records enumerated and read in %.2f s, %.0f records/s\n", walked, seconds,
                seconds > 0 ? walked / seconds : 0.0);

    Platform::ZDriveTable::instance().setDrive(kDrive, device);
    SearchEngine::ZDriveVolume volume(kDrive);
    if (volume.initDriveVolume() != SearchEngine::ZDriveVolume::InitOk) {
        std::fprintf(stderr, "the volume did not open\n");
        return 1;
    }
    SearchEngine::DirectoryMap pendingParents;
    SearchEngine::DirectoryMap knownDirectories;
    start = std::chrono::steady_clock::now();
    volume.enumerateMft([&](USN_RECORD_V2* rec) {
        volume.addEnumeratedRecord(rec, pendingParents, knownDirectories);
    });
    seconds = secondsSince(start);
    const size_t items = volume.recordMap.size();
    std::printf("index: %zu items into the pool in %.2f s, %.0f items/s\n", items, seconds,
                seconds > 0 ? items / seconds : 0.0);
    SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);
    volume.closeVolume();
    Platform::ZDriveTable::instance().removeDrive(kDrive);

    // The independent reader on the same image.
    const QString body = temp.path() + QStringLiteral("/body.txt");
    QProcess fsntfsinfo;
    start = std::chrono::steady_clock::now();
    fsntfsinfo.start(QStringLiteral("fsntfsinfo"),
                     {QStringLiteral("-H"), QStringLiteral("-B"), body, QString::fromStdString(image)});
    if (!fsntfsinfo.waitForFinished(-1) || fsntfsinfo.exitCode() != 0) {
        std::printf("fsntfsinfo: not run\n");
        return 0;
    }
    seconds = secondsSince(start);
    std::printf("fsntfsinfo -B: %zu records in %.2f s, %.0f records/s\n", walked, seconds,
                seconds > 0 ? walked / seconds : 0.0);
    return 0;
}
