// Finds the volume inside an image: the image itself when it starts with a
// boot sector, else the first NTFS partition of an MBR or GPT disk.
#pragma once

#include "devices/raw/ZNtfsImageSource.h"

#include <string>

namespace Platform {

struct ZVolumeLocation {
    ULONGLONG offset = 0;
    ULONGLONG length = 0;
    // "NTFS", "FAT", "FAT32", "exFAT", or empty when no known file system.
    std::u16string fileSystem;
};

// The first NTFS volume of the image, or when there is none, the first
// volume of another known file system (offset and length of that volume),
// or an empty fileSystem.
ZVolumeLocation locateVolume(ZNtfsImageSource& image);

// The file system named by one boot sector (512 bytes), or empty.
std::u16string bootSectorFileSystem(const BYTE* sector);

} // namespace Platform
