// The process's table of drive letters and the volume devices behind them.
//
// Drives come from two places. Code may set a drive (tests put emulated
// volumes in); such a drive wins over everything else under its letter.
// The rest come from the folder $XDG_CONFIG_HOME/orvanta/dosdevices/
// (default ~/.config): an entry "x:" links to a directory (a live directory
// volume of it), an entry "x::" to an NTFS image or block device (a raw NTFS
// volume). Without that folder, and with no drive set from code, the table
// holds C:, the live directory volume of "/". The folder is read on every
// call; a device is made on first use of its letter and kept while its entry
// names the same target. A directory drive keeps its journal and record
// identities between runs in stateFolder(), beside the drive caches.
#pragma once

#include "devices/ZVolumeDevice.h"

#include <QString>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace Platform {

class ZDriveTable {
public:
    static ZDriveTable& instance();

    // Puts a device under a letter ('C'), replacing any earlier one.
    void setDrive(char16_t letter, std::shared_ptr<ZVolumeDevice> device);
    void removeDrive(char16_t letter);
    // Drops the drives set from code and the devices made for the folder's entries.
    void clear();

    // The device of a letter (upper or lower case), or null.
    std::shared_ptr<ZVolumeDevice> device(char16_t letter);
    // The letters in the table, in alphabetical order.
    std::vector<char16_t> letters();
    // What the folder's entry of a letter names (a directory, or an image
    // when *image is set); false for a drive set from code or not listed.
    bool root(char16_t letter, QString* path, bool* image);

    // The folder the table is read from.
    static QString folder();
    // CSIDL_LOCAL_APPDATA\Orvanta\SearchService, made private; empty when
    // it cannot be (the drive then keeps nothing between runs).
    static QString stateFolder();
    // Removes what directory drives no longer listed kept between runs.
    void removeDepartedState();

private:
    enum class Kind { Directory, Image };
    struct Entry {
        Kind kind = Kind::Directory;
        QString target;
    };
    struct Made {
        Entry entry;
        std::shared_ptr<ZVolumeDevice> device;
    };

    // The drives the folder (or its absence) gives, by upper-case letter.
    std::map<char16_t, Entry> folderEntries() const;
    std::shared_ptr<ZVolumeDevice> make(char16_t letter, const Entry& entry) const;

    std::mutex lock_;
    std::map<char16_t, std::shared_ptr<ZVolumeDevice>> drives_;   // set from code
    std::map<char16_t, Made> made_;                              // made for the folder's entries
};

} // namespace Platform
