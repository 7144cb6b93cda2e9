#include "win32/ZDriveLetterFiles.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace Platform {

QStringList removeFilesOfDepartedDrives(const QString& folder, const QString& pattern, const QString& tempSuffix,
                                        const std::vector<char16_t>& served)
{
    QStringList removed;
    const QDir dir(folder);
    const int letterAt = pattern.indexOf(QLatin1Char('?'));
    if (folder.isEmpty() || letterAt < 0 || !dir.exists())
        return removed;
    for (const QString& name :
         dir.entryList({pattern, pattern + tempSuffix}, QDir::Files | QDir::System | QDir::Hidden)) {
        const char16_t letter = name.at(letterAt).toUpper().unicode();
        if (std::find(served.begin(), served.end(), letter) == served.end() && QFile::remove(dir.filePath(name)))
            removed << name;
    }
    return removed;
}

} // namespace Platform
