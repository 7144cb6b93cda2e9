#include "platform/win32_version.h"

#include <sys/utsname.h>

#include <atomic>
#include <cstring>

namespace Platform {

namespace {
std::atomic<ZVersionSource*> currentSource{nullptr};

ZHostVersionSource& hostSource()
{
    static ZHostVersionSource s;
    return s;
}
} // namespace

bool ZHostVersionSource::versionEx(OSVERSIONINFOW* info)
{
    // No Windows release stands behind this process.
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool ZHostVersionSource::ntVersionNumbers(DWORD*, DWORD*, DWORD*)
{
    return false;
}

bool ZHostVersionSource::kernelFileVersion(VS_FIXEDFILEINFO*)
{
    return false;
}

bool ZHostVersionSource::nativeSystemInfo(SYSTEM_INFO* info)
{
    utsname u{};
    WORD arch = PROCESSOR_ARCHITECTURE_UNKNOWN;
    if (uname(&u) == 0) {
        const char* m = u.machine;
        if (!strcmp(m, "x86_64"))
            arch = PROCESSOR_ARCHITECTURE_AMD64;
        else if (!strcmp(m, "aarch64") || !strcmp(m, "arm64"))
            arch = PROCESSOR_ARCHITECTURE_ARM64;
        else if (!strcmp(m, "ia64"))
            arch = PROCESSOR_ARCHITECTURE_IA64;
        else if (!strncmp(m, "arm", 3))
            arch = PROCESSOR_ARCHITECTURE_ARM;
        else if (m[0] == 'i' && !strcmp(m + 2, "86"))
            arch = PROCESSOR_ARCHITECTURE_INTEL;
    }
    info->wProcessorArchitecture = arch;
    return true;
}

ZVersionSource& versionSource()
{
    ZVersionSource* s = currentSource.load();
    return s ? *s : hostSource();
}

void setVersionSource(ZVersionSource* s)
{
    currentSource.store(s);
}

} // namespace Platform

BOOL GetVersionExW(OSVERSIONINFOW* info)
{
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)
                  && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return Platform::versionSource().versionEx(info) ? TRUE : FALSE;
}

void GetNativeSystemInfo(SYSTEM_INFO* info)
{
    Platform::versionSource().nativeSystemInfo(info);
}
