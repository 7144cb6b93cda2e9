// A drive index built by the volume code from one device: the device put in
// the drive table under a letter, the volume opened on it, the MFT walk into
// its record map and the directory maps of the build; all undone at the end.
#pragma once

#include "platform/ZDriveTable.h"
#include "volume/ZDirectoryNode.h"
#include "volume/ZDriveVolume.h"

#include <memory>

namespace TestSupport {

class ZIndexBuild {
public:
    ZIndexBuild(char16_t letter, std::shared_ptr<Platform::ZVolumeDevice> device) : letter_(letter)
    {
        Platform::ZDriveTable::instance().setDrive(letter, std::move(device));
        volume.reset(new SearchEngine::ZDriveVolume(letter));
    }
    ~ZIndexBuild()
    {
        SearchEngine::freeDirectoryNodes(known, pending);
        volume->closeVolume();
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(letter_);
    }
    ZIndexBuild(const ZIndexBuild&) = delete;
    ZIndexBuild& operator=(const ZIndexBuild&) = delete;

    bool open() { return volume->initDriveVolume() == SearchEngine::ZDriveVolume::InitOk; }
    // The whole MFT walk, every enumerated record added to the index.
    void build()
    {
        volume->enumerateMft([this](USN_RECORD_V2* rec) { volume->addEnumeratedRecord(rec, pending, known); });
    }

    std::unique_ptr<SearchEngine::ZDriveVolume> volume;
    SearchEngine::DirectoryMap known, pending;

private:
    const char16_t letter_;
};

} // namespace TestSupport
