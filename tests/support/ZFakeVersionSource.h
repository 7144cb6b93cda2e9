// A version source whose answers a test sets: what GetVersionExW reports (per
// structure size), the real version ntdll gives, the kernel's file version
// and the native architecture. It counts GetVersionExW calls.
#pragma once

#include "platform/win32_version.h"

#include <cstring>

namespace TestSupport {

class FakeVersionSource : public Platform::ZVersionSource {
public:
    bool exOk = true, plainOk = true;   // GetVersionExW with the EX / plain structure
    OSVERSIONINFOEXW reported{};
    bool hasRtl = false, hasKernel = false, hasNativeInfo = true;
    DWORD rtl[3] = {}, kernelMS = 0;
    WORD arch = PROCESSOR_ARCHITECTURE_AMD64;
    int versionCalls = 0;

    bool versionEx(OSVERSIONINFOW* info) override
    {
        ++versionCalls;
        const DWORD size = info->dwOSVersionInfoSize;
        if (!(size == sizeof(OSVERSIONINFOEXW) ? exOk : plainOk))
            return false;
        OSVERSIONINFOEXW v = reported;
        v.dwOSVersionInfoSize = size;
        memcpy(info, &v, size);
        return true;
    }
    bool ntVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) override
    {
        return hasRtl && (*major = rtl[0], *minor = rtl[1], *build = rtl[2], true);
    }
    bool kernelFileVersion(VS_FIXEDFILEINFO* v) override { return hasKernel && (v->dwFileVersionMS = kernelMS, true); }
    bool nativeSystemInfo(SYSTEM_INFO* i) override { return hasNativeInfo && (i->wProcessorArchitecture = arch, true); }

    void report(DWORD platform, DWORD major, DWORD minor, DWORD build, BYTE productType)
    {
        reported = OSVERSIONINFOEXW{};
        reported.dwPlatformId = platform, reported.wProductType = productType;
        reported.dwMajorVersion = major, reported.dwMinorVersion = minor, reported.dwBuildNumber = build;
    }
    void realVersion(DWORD major, DWORD minor, DWORD build)
    {
        hasRtl = true;
        rtl[0] = major, rtl[1] = minor, rtl[2] = build;
    }
};

} // namespace TestSupport
