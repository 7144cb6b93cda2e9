// The process's table of drive letters and the volume devices behind them.
#pragma once

#include "platform/ZVolumeDevice.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace Platform {

class ZDriveTable {
public:
    static ZDriveTable& instance();

    // Puts a device under a letter ('C'), replacing any earlier one. Drives
    // set from code take precedence over the folder-based table.
    void setDrive(char16_t letter, std::shared_ptr<ZVolumeDevice> device);
    void removeDrive(char16_t letter);
    void clear();

    // The device of a letter (upper or lower case), or null.
    std::shared_ptr<ZVolumeDevice> device(char16_t letter);
    // The letters in the table, in alphabetical order.
    std::vector<char16_t> letters();

private:
    std::mutex lock_;
    std::map<char16_t, std::shared_ptr<ZVolumeDevice>> drives_;
};

} // namespace Platform
