// Opening a drive's volume, its geometry and change journal, the buffers of
// the volume thread, and the read of one MFT file record.
#include "volume/ZDriveVolume.h"

#include "frame/ZLog.h"

#include <cstdlib>
#include <cstring>

namespace SearchEngine {

namespace {

constexpr int kPathChars = 8;            // "C:\" and "\\.\C:" with their NUL
constexpr DWORD kFileSystemNameChars = 8;
const WCHAR kNtfsName[] = u"NTFS";

// Geometry the volume code can work with: NTFS uses 1 KiB or 4 KiB file
// records and clusters of 512 bytes to 2 MiB. Anything else is a volume
// answer that cannot be right.
constexpr DWORD kMinFileRecordSize = 256;
constexpr DWORD kMaxFileRecordSize = 64 * 1024;
constexpr DWORD kMinClusterSize = 256;
constexpr DWORD kMaxClusterSize = 2 * 1024 * 1024;

bool isNtfsName(const WCHAR* name, DWORD capacity)
{
    const DWORD length = sizeof(kNtfsName) / sizeof(WCHAR); // with the NUL
    return length <= capacity && std::memcmp(name, kNtfsName, sizeof(kNtfsName)) == 0;
}

bool isUsableGeometry(const NTFS_VOLUME_DATA_BUFFER& data)
{
    return data.BytesPerFileRecordSegment >= kMinFileRecordSize
        && data.BytesPerFileRecordSegment <= kMaxFileRecordSize
        && data.BytesPerCluster >= kMinClusterSize && data.BytesPerCluster <= kMaxClusterSize;
}

} // namespace

DWORD ZDriveVolume::initDriveVolume()
{
    // A second set-up starts from a closed volume, never leaking the first.
    closeVolume();

    WCHAR rootPath[kPathChars] = {};
    wsprintfW(rootPath, u"%c:\\", WCHAR(m_drive));
    WCHAR fileSystemName[kFileSystemNameChars] = {};
    if (!GetVolumeInformationW(rootPath, nullptr, 0, nullptr, nullptr, nullptr, fileSystemName,
                               kFileSystemNameChars)
        || !isNtfsName(fileSystemName, kFileSystemNameChars)) {
        LOG(ERROR) << "init drive volume failed -- not NTFS drive!!!";
        return InitNotNtfs;
    }

    WCHAR devicePath[kPathChars] = {};
    wsprintfW(devicePath, u"\\\\.\\%c:", WCHAR(m_drive));
    HANDLE handle = CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        LOG(ERROR) << "init drive volume failed -- open drive file!!!";
        return InitOpenFailed;
    }
    volumeHandle = handle;

    DWORD bytes = 0;
    if (!DeviceIoControl(volumeHandle, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &volumeData,
                         sizeof(volumeData), &bytes, nullptr)) {
        LOG(ERROR) << "init drive volume failed -- FSCTL_GET_NTFS_VOLUME_DATA:" << GetLastError();
        return InitVolumeDataFailed;
    }
    // Record and cluster sizes size every buffer and bound every parse, so
    // an answer that is short or out of range is a failed read too.
    if (bytes < sizeof(volumeData) || !isUsableGeometry(volumeData)) {
        SetLastError(ERROR_INVALID_DATA);
        LOG(ERROR) << "init drive volume failed -- FSCTL_GET_NTFS_VOLUME_DATA:" << GetLastError();
        return InitVolumeDataFailed;
    }

    if (!queryUsnJournal()) {
        LOG(ERROR) << "init usn journal failed: " << GetLastError();
        return InitJournalFailed;
    }

    recordBufferSize = volumeData.BytesPerFileRecordSegment + kRecordBufferSlack;

    clusterBuffer = static_cast<BYTE*>(std::malloc(volumeData.BytesPerCluster));
    if (!clusterBuffer) {
        LOG(ERROR) << "init drive volume failed -- create output buffer!!!";
        return InitBufferFailed;
    }
    return InitOk;
}

namespace {

bool readJournal(HANDLE volume, USN_JOURNAL_DATA_V1& journal)
{
    USN_JOURNAL_DATA_V1 answer{};
    DWORD bytes = 0;
    if (!DeviceIoControl(volume, FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &answer, sizeof(answer), &bytes, nullptr))
        return false;
    journal = answer;
    return true;
}

bool createJournal(HANDLE volume, DWORDLONG maximumSize, DWORDLONG allocationDelta)
{
    CREATE_USN_JOURNAL_DATA request{};
    request.MaximumSize = maximumSize;
    request.AllocationDelta = allocationDelta;
    DWORD bytes = 0;
    return DeviceIoControl(volume, FSCTL_CREATE_USN_JOURNAL, &request, sizeof(request), nullptr, 0, &bytes, nullptr);
}

} // namespace

bool ZDriveVolume::queryUsnJournal()
{
    if (readJournal(volumeHandle, journalData))
        return true;
    const DWORD error = GetLastError();
    LOG(ERROR) << "init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:" << error;
    switch (error) {
    case ERROR_JOURNAL_NOT_ACTIVE:
        // A journal that could not be created leaves journalData stale; the
        // caller must not take that for a usable journal.
        if (!createJournal(volumeHandle, kJournalMaximumSize, kJournalAllocationDelta))
            return false;
        return readJournal(volumeHandle, journalData);
    case ERROR_JOURNAL_DELETE_IN_PROGRESS:
        return recreateUsnJournal();
    default:
        return false;
    }
}

bool ZDriveVolume::recreateUsnJournal()
{
    // With the notify flag alone this starts no deletion: it returns once a
    // deletion already under way has finished.
    DELETE_USN_JOURNAL_DATA wait{};
    wait.UsnJournalID = journalData.UsnJournalID;
    wait.DeleteFlags = USN_DELETE_FLAG_NOTIFY;
    DWORD bytes = 0;
    DeviceIoControl(volumeHandle, FSCTL_DELETE_USN_JOURNAL, &wait, sizeof(wait), nullptr, 0, &bytes, nullptr);

    if (!createJournal(volumeHandle, kRecreatedJournalMaximumSize, kRecreatedJournalAllocationDelta))
        return false;
    return readJournal(volumeHandle, journalData);
}

bool ZDriveVolume::growRecordBuffers(size_t count)
{
    if (recordBufferSize == 0)
        return false;
    while (recordBuffers.size() < count) {
        BYTE* block = static_cast<BYTE*>(std::calloc(1, recordBufferSize));
        if (!block)
            return false;
        recordBuffers.push_back(block);
    }
    return true;
}

BYTE* ZDriveVolume::readFileRecord(DWORD recordNumber, size_t block)
{
    if (block >= recordBuffers.size() || !volumeHandle)
        return nullptr;
    BYTE* output = recordBuffers[block];
    NTFS_FILE_RECORD_INPUT_BUFFER input{};
    input.FileReferenceNumber.QuadPart = LONGLONG(recordNumber);
    DWORD bytes = 0;
    if (!DeviceIoControl(volumeHandle, FSCTL_GET_NTFS_FILE_RECORD, &input, sizeof(input), output,
                         recordBufferSize, &bytes, nullptr))
        return nullptr;
    if (bytes < kRecordOutputHeaderSize || bytes > recordBufferSize)
        return nullptr;
    NTFS_FILE_RECORD_OUTPUT_BUFFER answer;
    std::memcpy(&answer, output, kRecordOutputHeaderSize);
    // A record not in use is answered with the nearest lower one in use.
    if (DWORD(answer.FileReferenceNumber.QuadPart) != recordNumber)
        return nullptr;
    // Whatever the answer did not fill must not be read as part of this
    // record: clear it, so a short answer cannot show a former record's bytes.
    DWORD valid = bytes - kRecordOutputHeaderSize;
    if (answer.FileRecordLength < valid)
        valid = answer.FileRecordLength;
    std::memset(output + kRecordOutputHeaderSize + valid, 0, recordBufferSize - kRecordOutputHeaderSize - valid);
    return output + kRecordOutputHeaderSize;
}

void ZDriveVolume::closeVolume()
{
    if (volumeHandle && volumeHandle != INVALID_HANDLE_VALUE)
        CloseHandle(volumeHandle);
    volumeHandle = nullptr;
    for (BYTE* block : recordBuffers)
        std::free(block);
    recordBuffers.clear();
    std::free(clusterBuffer);
    clusterBuffer = nullptr;
}

} // namespace SearchEngine
