// Timing program: the emulated NTFS volume on its own. Fills a volume with a
// random tree of many files (default one million), journal on and then paused,
// and times the device calls the volume code makes: FSCTL_ENUM_USN_DATA with
// one FSCTL_GET_NTFS_FILE_RECORD per file, and FSCTL_READ_USN_JOURNAL over the
// whole journal. Prints rates and the peak memory of the process.
//
//   emulated_volume_bench [files]
#include "BenchTiming.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "win32/win32_ioctl.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using Platform::ZEmulatedNtfsVolume;

namespace {

constexpr DWORD kRoot = 5;
constexpr DWORD kEnumBufferSize = 0x80008;
constexpr DWORD kJournalBufferSize = 8200;
constexpr int kFolderPercent = 8;
constexpr int kMaxFileSize = 100000;

double fill(ZEmulatedNtfsVolume& volume, int files, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<DWORD> folders{kRoot};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < files; ++i) {
        const DWORD parent = folders[rng() % folders.size()];
        const std::string s = "name " + std::to_string(i) + std::string(rng() % 30, 'x');
        const std::u16string name(s.begin(), s.end());
        if (int(rng() % 100) < kFolderPercent) {
            if (const DWORD d = volume.createFolder(parent, name))
                folders.push_back(d);
        } else {
            ZEmulatedNtfsVolume::CreateOptions o;
            o.size = rng() % kMaxFileSize;
            volume.createFile(parent, name, o);
        }
    }
    return secondsSince(start);
}

} // namespace

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;
    ZEmulatedNtfsVolume quiet;
    quiet.setJournalPaused(true);
    const double quietSeconds = fill(quiet, files, 1);
    ZEmulatedNtfsVolume volume;
    const double fillSeconds = fill(volume, files, 1);
    const USN_JOURNAL_DATA_V1 journal = volume.journalState().data;

    std::vector<BYTE> out(kEnumBufferSize);
    std::vector<BYTE> record(volume.volumeData().BytesPerFileRecordSegment + 15);
    MFT_ENUM_DATA_V1 med{};
    med.HighUsn = journal.NextUsn;
    med.MinMajorVersion = med.MaxMajorVersion = 2;
    DWORD got = 0;
    size_t enumerated = 0;
    auto start = std::chrono::steady_clock::now();
    while (volume.deviceIoControl(FSCTL_ENUM_USN_DATA, &med, sizeof med, out.data(), kEnumBufferSize, &got)) {
        for (DWORD at = sizeof(USN); at + sizeof(DWORD) <= got;) {
            USN_RECORD_V2 rec;
            std::memcpy(&rec, out.data() + at, offsetof(USN_RECORD_V2, FileName));
            NTFS_FILE_RECORD_INPUT_BUFFER in{};
            in.FileReferenceNumber.QuadPart = LONGLONG(rec.FileReferenceNumber & 0xFFFFFFFFull);
            DWORD n = 0;
            volume.deviceIoControl(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, record.data(), DWORD(record.size()), &n);
            ++enumerated;
            at += rec.RecordLength;
        }
        std::memcpy(&med.StartFileReferenceNumber, out.data(), sizeof med.StartFileReferenceNumber);
    }
    const double enumSeconds = secondsSince(start);

    READ_USN_JOURNAL_DATA_V1 req{};
    req.StartUsn = journal.FirstUsn;
    req.ReasonMask = 0xFFFFFFFF;
    req.UsnJournalID = journal.UsnJournalID;
    req.MinMajorVersion = req.MaxMajorVersion = 2;
    out.resize(kJournalBufferSize);
    ULONGLONG journalBytes = 0;
    start = std::chrono::steady_clock::now();
    while (req.StartUsn < journal.NextUsn
           && volume.deviceIoControl(FSCTL_READ_USN_JOURNAL, &req, sizeof req, out.data(), kJournalBufferSize, &got)) {
        journalBytes += got - sizeof(USN);
        std::memcpy(&req.StartUsn, out.data(), sizeof req.StartUsn);
    }
    const double journalSeconds = secondsSince(start);

    std::printf("files: %d\n", files);
    std::printf("fill, journal paused: %.2f s (%.0f files/s)\n", quietSeconds, files / quietSeconds);
    std::printf("fill, journal on:     %.2f s (%.0f files/s)\n", fillSeconds, files / fillSeconds);
    std::printf("enumerate + read every record: %zu files in %.2f s (%.0f files/s)\n", enumerated, enumSeconds,
                enumerated / enumSeconds);
    std::printf("journal read: %.1f MiB in %.2f s (%.0f MiB/s)\n", journalBytes / 1048576.0, journalSeconds,
                journalBytes / 1048576.0 / journalSeconds);
    std::printf("peak memory (two volumes): %ld MiB\n", (peakKilobytes() / 1024));
    return 0;
}
