// libFuzzer target over the raw NTFS volume's parsing of an image: boot
// sector, partition tables, MFT runs, file records, attribute lists,
// directory index and the change journal.
//
// Input: a sparse image, as chunks laid over a zero-filled volume of
// kImageSize bytes: u32 offset, u16 length, then length bytes (little-endian),
// repeated. The corpus is made from fixture images by make_raw_ntfs_seed.py.
#include "devices/raw/ZRawNtfsVolume.h"
#include "win32/win32_ioctl.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kImageSize = 4u << 20;
constexpr size_t kChunkHeader = 6;
constexpr DWORD kEnumCalls = 64;
constexpr DWORD kRecordProbes = 96;

std::vector<BYTE> imageOf(const uint8_t* data, size_t size)
{
    std::vector<BYTE> image(kImageSize, 0);
    size_t pos = 0;
    while (size - pos >= kChunkHeader) {
        uint32_t offset;
        uint16_t length;
        std::memcpy(&offset, data + pos, 4);
        std::memcpy(&length, data + pos + 4, 2);
        pos += kChunkHeader;
        const size_t n = std::min<size_t>(length, size - pos);
        const size_t at = offset % kImageSize;
        std::memcpy(image.data() + at, data + pos, std::min(n, kImageSize - at));
        pos += n;
    }
    return image;
}

} // namespace

// The fuzzer links the volume's own sources only, not the rest of the
// platform layer: the thread's last error lives here.
namespace {
thread_local DWORD lastError = 0;
}
DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Platform;
    QString error;
    auto device = ZRawNtfsVolume::create(
        std::unique_ptr<ZNtfsImageSource>(new ZNtfsMemoryImage(imageOf(data, size))), &error);
    VolumeInformation info;
    device->volumeInformation(info);
    if (!device->isNtfs())
        return 0;

    DWORD n = 0;
    NTFS_VOLUME_DATA_BUFFER volume{};
    if (!device->deviceIoControl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &volume, sizeof volume, &n))
        return 0;
    USN_JOURNAL_DATA_V1 journal{};
    device->deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof journal, &n);

    std::vector<BYTE> out(64 << 10);
    MFT_ENUM_DATA_V1 enumRequest{};
    enumRequest.HighUsn = journal.NextUsn;
    enumRequest.MinMajorVersion = enumRequest.MaxMajorVersion = 2;
    for (DWORD i = 0; i < kEnumCalls; ++i) {
        if (!device->deviceIoControl(FSCTL_ENUM_USN_DATA, &enumRequest, sizeof enumRequest, out.data(),
                                     DWORD(out.size()), &n))
            break;
        std::memcpy(&enumRequest.StartFileReferenceNumber, out.data(), 8);
    }

    std::vector<BYTE> record(volume.BytesPerFileRecordSegment + 16);
    for (DWORD r = 0; r < kRecordProbes; ++r) {
        NTFS_FILE_RECORD_INPUT_BUFFER in;
        in.FileReferenceNumber.QuadPart = r;
        device->deviceIoControl(FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, record.data(), DWORD(record.size()), &n);
    }

    READ_USN_JOURNAL_DATA_V1 read{};
    read.StartUsn = journal.FirstUsn;
    read.ReasonMask = 0xFFFFFFFFu;
    read.UsnJournalID = journal.UsnJournalID;
    read.MinMajorVersion = read.MaxMajorVersion = 2;
    for (int i = 0; i < 8; ++i) {
        if (!device->deviceIoControl(FSCTL_READ_USN_JOURNAL, &read, sizeof read, out.data(), 8200, &n))
            break;
        USN next;
        std::memcpy(&next, out.data(), 8);
        if (next == read.StartUsn)
            break;
        read.StartUsn = next;
    }
    return 0;
}
