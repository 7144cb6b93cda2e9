#pragma once

#include <QString>

#include <vector>

namespace Platform {

// Removes from `folder` the files named after a drive that is no longer
// served: `pattern` holds one '?' where the drive letter stands, and names
// with `tempSuffix` after the pattern (an unfinished write) count too.
// Returns the names removed.
QStringList removeFilesOfDepartedDrives(const QString& folder, const QString& pattern, const QString& tempSuffix,
                                        const std::vector<char16_t>& served);

} // namespace Platform
