// Where a test's service keeps its drive caches: DriveCache<letter>.dat in
// the program's data folder under the test's own XDG_DATA_HOME.
#pragma once

#include <QChar>
#include <QFile>
#include <QString>

namespace TestSupport {

inline QString driveCacheFolder()
{
    return QFile::decodeName(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Orvanta/SearchService");
}

inline QString driveCachePath(char16_t letter)
{
    return driveCacheFolder() + QStringLiteral("/DriveCache%1.dat").arg(QChar(letter));
}

} // namespace TestSupport
