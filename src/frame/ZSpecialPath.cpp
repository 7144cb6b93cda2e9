#include "frame/ZSpecialPath.h"

#include "platform/win32_shell.h"

#include <QHash>

#include <cstdlib>

namespace SearchEngine {

namespace {

constexpr char kCsidlPrefix[] = "CSIDL_";
constexpr char kVirtualDrives[] = "CSIDL_DRIVES";
constexpr int kNoCsidl = -1;

struct CsidlName {
    const char* name;
    int value;
};

// The shell's CSIDL values, except CSIDL_MYDOCUMENTS, which is CSIDL_PERSONAL's.
const CsidlName kCsidlNames[] = {
    {"CSIDL_DESKTOP", 0},
    {"CSIDL_INTERNET", 1},
    {"CSIDL_PROGRAMS", 2},
    {"CSIDL_CONTROLS", 3},
    {"CSIDL_PRINTERS", 4},
    {"CSIDL_PERSONAL", 5},
    {"CSIDL_FAVORITES", 6},
    {"CSIDL_STARTUP", 7},
    {"CSIDL_RECENT", 8},
    {"CSIDL_SENDTO", 9},
    {"CSIDL_BITBUCKET", 10},
    {"CSIDL_STARTMENU", 11},
    {"CSIDL_MYDOCUMENTS", 5},
    {"CSIDL_MYMUSIC", 13},
    {"CSIDL_MYVIDEO", 14},
    {"CSIDL_DESKTOPDIRECTORY", 16},
    {"CSIDL_DRIVES", 17},
    {"CSIDL_NETWORK", 18},
    {"CSIDL_NETHOOD", 19},
    {"CSIDL_FONTS", 20},
    {"CSIDL_TEMPLATES", 21},
    {"CSIDL_COMMON_STARTMENU", 22},
    {"CSIDL_COMMON_PROGRAMS", 23},
    {"CSIDL_COMMON_STARTUP", 24},
    {"CSIDL_COMMON_DESKTOPDIRECTORY", 25},
    {"CSIDL_APPDATA", 26},
    {"CSIDL_PRINTHOOD", 27},
    {"CSIDL_LOCAL_APPDATA", 28},
    {"CSIDL_ALTSTARTUP", 29},
    {"CSIDL_COMMON_ALTSTARTUP", 30},
    {"CSIDL_COMMON_FAVORITES", 31},
    {"CSIDL_INTERNET_CACHE", 32},
    {"CSIDL_COOKIES", 33},
    {"CSIDL_HISTORY", 34},
    {"CSIDL_COMMON_APPDATA", 35},
    {"CSIDL_WINDOWS", 36},
    {"CSIDL_SYSTEM", 37},
    {"CSIDL_PROGRAM_FILES", 38},
    {"CSIDL_MYPICTURES", 39},
    {"CSIDL_PROFILE", 40},
    {"CSIDL_SYSTEMX86", 41},
    {"CSIDL_PROGRAM_FILESX86", 42},
    {"CSIDL_PROGRAM_FILES_COMMON", 43},
    {"CSIDL_PROGRAM_FILES_COMMONX86", 44},
    {"CSIDL_COMMON_TEMPLATES", 45},
    {"CSIDL_COMMON_DOCUMENTS", 46},
    {"CSIDL_COMMON_ADMINTOOLS", 47},
    {"CSIDL_ADMINTOOLS", 48},
    {"CSIDL_CONNECTIONS", 49},
    {"CSIDL_COMMON_MUSIC", 53},
    {"CSIDL_COMMON_PICTURES", 54},
    {"CSIDL_COMMON_VIDEO", 55},
    {"CSIDL_RESOURCES", 56},
    {"CSIDL_RESOURCES_LOCALIZED", 57},
    {"CSIDL_COMMON_OEM_LINKS", 58},
    {"CSIDL_CDBURN_AREA", 59},
    {"CSIDL_COMPUTERSNEARME", 61},
    {"CSIDL_FLAG_CREATE", 0x8000},
    {"CSIDL_FLAG_DONT_VERIFY", 0x4000},
    {"CSIDL_FLAG_DONT_UNEXPAND", 0x2000},
    {"CSIDL_FLAG_NO_ALIAS", 0x1000},
    {"CSIDL_FLAG_PER_USER_INIT", 0x800},
};

const QHash<QString, int>& csidlTable()
{
    static const QHash<QString, int> table = [] {
        QHash<QString, int> t;
        for (const CsidlName& n : kCsidlNames)
            t.insert(QLatin1String(n.name), n.value);
        return t;
    }();
    return table;
}

// The folder of a CSIDL name, or a null string when the shell fails.
QString shellFolder(int csidl)
{
    char buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return QString();
    return QString::fromUtf8(buffer);
}

QString expandCsidl(const QString& path)
{
    if (path == QLatin1String(kVirtualDrives))
        return path;
    const int pos = path.indexOf(QLatin1Char('\\'));
    const QString prefix = pos < 0 ? path : path.left(pos);
    const int id = csidlFromName(prefix);
    if (id == kNoCsidl)
        return path;
    const QString folder = shellFolder(id);
    if (folder.isNull())
        return path;
    if (pos < 0)
        return folder;
    QString expanded = path;
    expanded.replace(prefix, folder, Qt::CaseSensitive);
    return expanded;
}

QString expandVariable(const QString& path)
{
    const int p1 = path.indexOf(QLatin1Char('%'));
    if (p1 < 0)
        return path;
    const int p2 = path.indexOf(QLatin1Char('%'), p1 + 1);
    if (p2 < 0)
        return path;
    const QString name = path.mid(p1 + 1, p2 - p1 - 1);
    const char* raw = std::getenv(name.toUtf8().constData());
    const QString value = raw ? QString::fromUtf8(raw) : QString();
    if (value.isEmpty())
        return path;
    QString expanded = path;
    expanded.replace(path.mid(p1, p2 - p1 + 1), value, Qt::CaseSensitive);
    return expanded;
}

} // namespace

int csidlFromName(const QString& name)
{
    return csidlTable().value(name, kNoCsidl);
}

QString expandSpecialPath(const QString& path)
{
    if (path.startsWith(QLatin1String(kCsidlPrefix), Qt::CaseSensitive))
        return expandCsidl(path);
    return expandVariable(path);
}

} // namespace SearchEngine
