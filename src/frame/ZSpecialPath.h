// Special-folder paths: a path that begins with a shell folder name in CSIDL
// notation ("CSIDL_LOCAL_APPDATA\Orvanta\SearchService\") or that holds an
// environment variable between percent signs becomes a real path.
#pragma once

#include <QString>

namespace SearchEngine {

// The CSIDL number of that exact (case-sensitive) name, or -1.
int csidlFromName(const QString& name);
// The expanded path, or the path unchanged when it cannot be expanded. One
// kind of expansion per call: a leading CSIDL name, else the first variable.
QString expandSpecialPath(const QString& path);

} // namespace SearchEngine
