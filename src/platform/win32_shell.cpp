#include "platform/win32_shell.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstring>

namespace {

bool isSeparator(WCHAR c)
{
    return c == u'\\' || c == u'/';
}

size_t wideLength(LPCWSTR s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

QString environmentFolder(const char* name, const QString& fallback)
{
    const QByteArray v = qgetenv(name);
    return v.isEmpty() ? fallback : QFile::decodeName(v);
}

QString folderPath(int csidl)
{
    switch (csidl & CSIDL_FOLDER_MASK) {
    case CSIDL_LOCAL_APPDATA:
        return environmentFolder("XDG_DATA_HOME", QDir::homePath() + QStringLiteral("/.local/share"));
    case CSIDL_APPDATA:
        return environmentFolder("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    case CSIDL_PROFILE:
        return QDir::homePath();
    default:
        return QString();
    }
}

} // namespace

HRESULT SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path)
{
    if (!path)
        return E_INVALIDARG;
    path[0] = 0;
    QString p = folderPath(folder);
    if (p.isEmpty())
        return E_FAIL;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    if ((folder & CSIDL_FLAG_CREATE) && !QDir().mkpath(p))
        return E_FAIL;
    const QByteArray bytes = p.toUtf8();
    if (bytes.size() >= MAX_PATH)
        return E_FAIL;
    std::memcpy(path, bytes.constData(), size_t(bytes.size()) + 1);
    return S_OK;
}

BOOL PathRemoveFileSpecW(LPWSTR path)
{
    if (!path || !path[0])
        return FALSE;
    size_t n = wideLength(path);
    size_t last = n;
    for (size_t i = n; i-- > 0;) {
        if (isSeparator(path[i])) {
            last = i;
            break;
        }
    }
    if (last == n) {
        // "name" or "C:name": nothing but the element (and a drive).
        const size_t keep = (n >= 2 && path[1] == u':') ? 2 : 0;
        if (keep == n)
            return FALSE;
        path[keep] = 0;
        return TRUE;
    }
    // Keep the separator of a root: "\x", "/x", "C:\x".
    const bool root = last == 0 || (last == 2 && path[1] == u':');
    const size_t cut = root ? last + 1 : last;
    if (cut >= n)
        return FALSE;
    path[cut] = 0;
    return TRUE;
}

BOOL PathAppendW(LPWSTR path, LPCWSTR more)
{
    if (!path || !more)
        return FALSE;
    const size_t n = wideLength(path);
    while (isSeparator(*more) && n > 0)
        ++more;
    const size_t m = wideLength(more);
    const bool needSeparator = n > 0 && !isSeparator(path[n - 1]) && m > 0;
    const size_t total = n + (needSeparator ? 1 : 0) + m;
    if (total >= MAX_PATH)
        return FALSE;
    size_t at = n;
    if (needSeparator)
        path[at++] = u'\\';
    std::memcpy(path + at, more, m * sizeof(WCHAR));
    path[total] = 0;
    return TRUE;
}

LPWSTR PathFindFileNameW(LPCWSTR path)
{
    if (!path)
        return nullptr;
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p; ++p) {
        // A separator that ends the path does not start a new element.
        if ((isSeparator(*p) || *p == u':') && p[1] && !isSeparator(p[1]))
            name = p + 1;
    }
    return const_cast<LPWSTR>(name);
}

void PathRemoveExtensionW(LPWSTR path)
{
    if (!path)
        return;
    LPWSTR name = PathFindFileNameW(path);
    LPWSTR dot = nullptr;
    for (LPWSTR p = name; *p; ++p) {
        if (isSeparator(*p))
            break;
        if (*p == u'.')
            dot = p;
    }
    if (dot)
        *dot = 0;
}
