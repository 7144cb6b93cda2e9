// Timing program: a stream of mixed file changes (default 100,000) on an
// emulated volume whose index was built first, read back from the journal
// and applied to the index as the volume thread does. Prints changes per
// second of the application alone and of reading plus applying.
//
//   change_apply_bench [changes] [initial files]
#include "BenchTiming.h"
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "volume/ZDriveVolume.h"

#include <QTemporaryDir>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::DirectoryMap;
using SearchEngine::RecordMap;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'B';
constexpr DWORD kRoot = Ntfs::RecordRoot;
constexpr DWORD kJournalOutputSize = 8200;
constexpr int kFolders = 200;

// CPU seconds of this process, which a machine shared with other work does
// not inflate as it does the wall clock.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::u16string nameOf(unsigned serial)
{
    std::u16string name = u"file-";
    do {
        name += char16_t(u'0' + serial % 10);
        serial /= 10;
    } while (serial);
    return name + u".dat";
}

// One journal record copied out of a read, with the reasons new for its file.
struct PendingRecord {
    std::vector<ULONGLONG> bytes;
    DWORD recordNumber;
    DWORD reasons;
    USN_RECORD_V2* rec() { return reinterpret_cast<USN_RECORD_V2*>(bytes.data()); }
};

} // namespace

int main(int argc, char** argv)
{
    const int changes = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int initialFiles = argc > 2 ? std::atoi(argv[2]) : 20000;

    // Pieces, cache files, settings and logs stay in a scratch folder.
    QTemporaryDir temp;
    for (const char* variable : {"TMPDIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"})
        setenv(variable, temp.path().toLocal8Bit().constData(), 1);

    ZEmulatedNtfsVolume::Options options;
    options.journalMaximumSize = 1ull << 30;
    auto device = std::make_shared<ZEmulatedNtfsVolume>(options);
    Platform::ZDriveTable::instance().setDrive(kDrive, device);

    std::mt19937 random(7);
    std::vector<DWORD> folders;
    for (int i = 0; i < kFolders; ++i)
        folders.push_back(device->createFolder(i < 10 ? kRoot : folders[random() % folders.size()], nameOf(i)));
    std::vector<DWORD> files;
    unsigned serial = 1000000;
    for (int i = 0; i < initialFiles; ++i)
        files.push_back(device->createFile(folders[random() % folders.size()], nameOf(serial++)));

    ZDriveVolume volume(kDrive);
    if (volume.initDriveVolume() != 0) {
        std::fprintf(stderr, "the emulated volume did not open\n");
        return 1;
    }
    DirectoryMap pendingParents;
    DirectoryMap knownDirectories;
    volume.enumerateMft([&](USN_RECORD_V2* rec) { volume.addEnumeratedRecord(rec, pendingParents, knownDirectories); });
    volume.pruneOrphans(pendingParents, knownDirectories);
    SearchEngine::freeDirectoryNodes(knownDirectories, pendingParents);
    const USN start = device->journalState().data.NextUsn;

    // The change stream: creations, writes, renames, moves, links, deletions.
    for (int i = 0; i < changes; ++i) {
        const int kind = int(random() % 100);
        const DWORD file = files[random() % files.size()];
        const DWORD folder = folders[random() % folders.size()];
        if (kind < 35) {
            if (DWORD created = device->createFile(folder, nameOf(serial++)))
                files.push_back(created);
        } else if (kind < 60) {
            device->write(file, random() % 65536, 1 + random() % 65536);
        } else if (kind < 75) {
            device->rename(file, nameOf(serial++));
        } else if (kind < 83) {
            device->move(file, folder);
        } else if (kind < 88) {
            device->link(file, folder, nameOf(serial++));
        } else if (files.size() > 1) {
            const size_t at = random() % files.size();
            if (device->remove(files[at])) {
                files[at] = files.back();
                files.pop_back();
            }
        }
    }

    // Read the journal and filter reasons as the monitor does.
    const auto readStart = std::chrono::steady_clock::now();
    std::vector<PendingRecord> records;
    std::map<DWORD, DWORD> reasonsSoFar;
    std::vector<ULONGLONG> output(kJournalOutputSize / sizeof(ULONGLONG) + 1);
    READ_USN_JOURNAL_DATA_V1 request{};
    request.StartUsn = start;
    request.ReasonMask = 0xFFFFFFFFu;
    request.UsnJournalID = volume.journalData.UsnJournalID;
    request.MinMajorVersion = 2;
    request.MaxMajorVersion = 2;
    for (;;) {
        DWORD got = 0;
        if (!DeviceIoControl(volume.volumeHandle, FSCTL_READ_USN_JOURNAL, &request, sizeof(request), output.data(),
                             kJournalOutputSize, &got, nullptr) || got <= sizeof(USN))
            break;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(output.data());
        for (DWORD pos = sizeof(USN); pos < got;) {
            const auto* rec = reinterpret_cast<const USN_RECORD_V2*>(bytes + pos);
            const DWORD record = DWORD(rec->FileReferenceNumber);
            const DWORD old = reasonsSoFar.count(record) ? reasonsSoFar[record] : 0;
            DWORD fresh = (old != rec->Reason && (old & rec->Reason) == old) ? (rec->Reason & ~old) : rec->Reason;
            reasonsSoFar[record] = rec->Reason;
            if (fresh & USN_REASON_CLOSE) {
                reasonsSoFar.erase(record);
                fresh &= ~DWORD(USN_REASON_CLOSE);
            }
            if (fresh) {
                PendingRecord copy{std::vector<ULONGLONG>((rec->RecordLength + 7) / 8), record, fresh};
                std::memcpy(copy.bytes.data(), rec, rec->RecordLength);
                records.push_back(std::move(copy));
            }
            pos += rec->RecordLength;
        }
        std::memcpy(&request.StartUsn, bytes, sizeof(USN));
    }
    const double readSeconds = secondsSince(readStart);

    RecordMap::iterator pendingRename = volume.recordMap.end();
    QDateTime lastSaveTime = QDateTime::currentDateTime();
    volume.m_modifyCounter = 1;
    const auto applyStart = std::chrono::steady_clock::now();
    const double applyCpuStart = cpuSeconds();
    for (PendingRecord& r : records)
        volume.applyUsnChange(r.rec(), r.recordNumber, r.reasons, pendingRename, lastSaveTime);
    const double applySeconds = secondsSince(applyStart);
    const double applyCpuSeconds = cpuSeconds() - applyCpuStart;
    volume.closeVolume();

    std::printf("changes made:            %d on %d files in %d folders\n", changes, initialFiles, kFolders);
    std::printf("records applied:         %zu (counted changes %u, items now %zu)\n", records.size(),
                volume.modifyCounter() - 1, volume.recordMap.size());
    std::printf("apply:                   %.3f s, %.0f changes/s, %.0f records/s\n", applySeconds,
                changes / applySeconds, records.size() / applySeconds);
    std::printf("apply, CPU time:         %.3f s, %.0f changes/s\n", applyCpuSeconds, changes / applyCpuSeconds);
    std::printf("read + filter + apply:   %.3f s, %.0f changes/s\n", readSeconds + applySeconds,
                changes / (readSeconds + applySeconds));
    return 0;
}
