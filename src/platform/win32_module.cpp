#include "platform/win32_module.h"

#include "platform/win32_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr char kSelfExe[] = "/proc/self/exe";
constexpr int kLinkBufferBytes = 4096;

QString selfExecutable()
{
    char buffer[kLinkBufferBytes];
    const ssize_t n = ::readlink(kSelfExe, buffer, sizeof buffer - 1);
    if (n <= 0)
        return QString();
    return QFile::decodeName(QByteArray(buffer, int(n)));
}

// The path of a loaded object; the executable when it has no name.
QString pathOfLinkMap(const link_map* map)
{
    if (!map || !map->l_name || !map->l_name[0])
        return selfExecutable();
    return QFileInfo(QFile::decodeName(map->l_name)).absoluteFilePath();
}

DWORD copyOut(const QString& path, LPWSTR buffer, DWORD size)
{
    if (path.isEmpty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const DWORD length = DWORD(path.size());
    const DWORD copied = std::min(length, size - 1);
    std::copy(path.utf16(), path.utf16() + copied, buffer);
    buffer[copied] = 0;
    if (copied < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    SetLastError(ERROR_SUCCESS);
    return length;
}

// The candidate files for a library name, in search order.
QStringList candidates(const QString& windowsName)
{
    const QString mapped = Platform::sharedLibraryPath(windowsName);
    if (mapped.startsWith(QLatin1Char('/')))
        return {mapped};
    QStringList list;
    const QString folder = Platform::executableFolder();
    if (!folder.isEmpty())
        list << folder + QLatin1Char('/') + mapped;
    list << mapped;
    return list;
}

} // namespace

namespace Platform {

QString sharedLibraryPath(const QString& windowsName)
{
    const QString path = toNativePath(windowsName);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = path.left(slash + 1);
    QString file = path.mid(slash + 1);
    if (file.endsWith(QLatin1String(".so")))
        return path;
    if (file.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive))
        file.chop(4);
    return folder + QStringLiteral("lib") + file + QStringLiteral(".so");
}

QString executableFolder()
{
    const QString exe = selfExecutable();
    const int slash = exe.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QString() : exe.left(slash);
}

} // namespace Platform

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    if (!module)
        return copyOut(selfExecutable(), fileName, size);
    link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return copyOut(pathOfLinkMap(map), fileName, size);
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module)
{
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
        *module = GetModuleHandleW(moduleNameOrAddress);
        return *module ? TRUE : FALSE;
    }
    Dl_info info{};
    link_map* map = nullptr;
    if (!::dladdr1(reinterpret_cast<const void*>(moduleNameOrAddress), &info,
                   reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // On glibc a link map is the handle dlopen returns.
    *module = static_cast<HMODULE>(map);
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (!moduleName) {
        // The executable.
        return static_cast<HMODULE>(::dlopen(nullptr, RTLD_NOW | RTLD_NOLOAD));
    }
    for (const QString& c : candidates(QString::fromUtf16(moduleName))) {
        void* h = ::dlopen(QFile::encodeName(c).constData(), RTLD_NOW | RTLD_NOLOAD);
        if (h) {
            // GetModuleHandle takes no reference.
            ::dlclose(h);
            return static_cast<HMODULE>(h);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE LoadLibraryW(LPCWSTR fileName)
{
    if (!fileName || !fileName[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const QStringList list = candidates(QString::fromUtf16(fileName));
    for (int i = 0; i < list.size(); ++i) {
        const QString& c = list.at(i);
        // Folder candidates only when the file is there; the last one goes to
        // the dlopen search as it is.
        if (i + 1 < list.size() && !QFileInfo::exists(c))
            continue;
        if (void* h = ::dlopen(QFile::encodeName(c).constData(), RTLD_NOW | RTLD_LOCAL))
            return static_cast<HMODULE>(h);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (!module || !procName) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = ::dlsym(module, procName);
    if (!p) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE module)
{
    if (!module || ::dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
