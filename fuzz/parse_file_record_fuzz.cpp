// libFuzzer target: file-record parsing, attribute lists included, over
// records of an emulated volume changed by the fuzzer's input.
//
// The input's first byte picks one of a few real records (plain, resident
// list, non-resident list over several clusters, many links); the rest is
// XORed over that record, so an empty input is the sound record and every
// mutation is a corruption of a realistic one. The record is placed at the
// end of its buffer, so AddressSanitizer sees any read past it.
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "volume/ZDriveVolume.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'F';
volatile unsigned sink = 0;

struct Fixture {
    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    std::vector<DWORD> files;
    std::vector<std::vector<BYTE>> records;
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void addFile(Fixture& f, const std::u16string& name, ZEmulatedNtfsVolume::CreateOptions options, int links)
{
    const DWORD file = f.device->createFile(Ntfs::RecordRoot, name, options);
    if (!file)
        abort();
    for (int i = 0; i < links; ++i)
        f.device->link(file, Ntfs::RecordRoot, name + u"-link" + char16_t(u'a' + i));
    if (options.attributeList != ZEmulatedNtfsVolume::AttributeListForm::Automatic)
        f.device->setAttributeListForm(file, options.attributeList, options.extensionRecords,
                                       options.attributeListRuns);
    std::vector<BYTE> record;
    if (!f.device->encodeRecord(file, record))
        abort();
    f.files.push_back(file);
    f.records.push_back(record);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fixture& f = fixture();
    ZEmulatedNtfsVolume::Options options;
    options.bytesPerCluster = 512;
    f.device = std::make_shared<ZEmulatedNtfsVolume>(options);
    Platform::ZDriveTable::instance().setDrive(kDrive, f.device);

    ZEmulatedNtfsVolume::CreateOptions plain;
    plain.size = 100;
    addFile(f, u"plain.txt", plain, 0);
    ZEmulatedNtfsVolume::CreateOptions resident;
    resident.size = 200000;
    resident.dataRuns = 5;
    resident.attributeList = ZEmulatedNtfsVolume::AttributeListForm::Resident;
    resident.extensionRecords = 2;
    addFile(f, u"resident-list.bin", resident, 3);
    ZEmulatedNtfsVolume::CreateOptions nonResident = resident;
    nonResident.attributeList = ZEmulatedNtfsVolume::AttributeListForm::NonResident;
    nonResident.extensionRecords = 4;
    nonResident.attributeListRuns = 3;
    addFile(f, u"non-resident-list.bin", nonResident, 12);

    f.volume = std::make_unique<ZDriveVolume>(kDrive);
    if (f.volume->initDriveVolume() != ZDriveVolume::InitOk)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fixture& f = fixture();
    const size_t pick = size ? data[0] % f.records.size() : 0;
    const std::vector<BYTE>& sound = f.records[pick];
    const DWORD recordSize = f.volume->volumeData.BytesPerFileRecordSegment;

    std::unique_ptr<BYTE[]> buffer(new BYTE[recordSize]);
    std::memset(buffer.get(), 0, recordSize);
    std::memcpy(buffer.get(), sound.data(), std::min<size_t>(sound.size(), recordSize));
    for (size_t i = 1; i < size && i - 1 < recordSize; ++i)
        buffer[i - 1] ^= data[i];

    SearchEngine::FileRecordParts parts;
    f.volume->parseFileRecord(f.files[pick], buffer.get(), parts, size % 2 == 0);
    // Touch everything a caller reads, so a part outside a buffer shows.
    for (const Ntfs::FileNameAttribute* name : parts.names) {
        const BYTE* p = reinterpret_cast<const BYTE*>(name);
        for (DWORD i = 0; i < Ntfs::kFileNameHeaderSize + 2u * name->nameLength; ++i)
            sink = sink + p[i];
    }
    sink = sink + unsigned(SearchEngine::fileSizeOfData(parts.data));
    return 0;
}
