#include "platform/ZDriveTable.h"

namespace Platform {

namespace {
char16_t upperLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}
} // namespace

ZDriveTable& ZDriveTable::instance()
{
    static ZDriveTable table;
    return table;
}

void ZDriveTable::setDrive(char16_t letter, std::shared_ptr<ZVolumeDevice> device)
{
    std::lock_guard<std::mutex> g(lock_);
    drives_[upperLetter(letter)] = std::move(device);
}

void ZDriveTable::removeDrive(char16_t letter)
{
    std::lock_guard<std::mutex> g(lock_);
    drives_.erase(upperLetter(letter));
}

void ZDriveTable::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    drives_.clear();
}

std::shared_ptr<ZVolumeDevice> ZDriveTable::device(char16_t letter)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = drives_.find(upperLetter(letter));
    return it == drives_.end() ? nullptr : it->second;
}

std::vector<char16_t> ZDriveTable::letters()
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<char16_t> out;
    for (const auto& d : drives_)
        out.push_back(d.first);
    return out;
}

} // namespace Platform
