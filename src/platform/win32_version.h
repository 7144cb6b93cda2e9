// Version information: GetVersionExW, RtlGetNtVersionNumbers, the kernel
// image's file version and GetNativeSystemInfo, behind one version source
// that tests replace. On Linux the source reports no Windows version and the
// processor width from uname.
#pragma once

#include "win32/win32_types.h"

#pragma pack(push, 1)

struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wProductType) == 282, "OSVERSIONINFOEXW layout");

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO layout");

#pragma pack(pop)

// The Windows layout has a pointer-sized tail; only the architecture is read.
struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    uintptr_t dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};

enum : DWORD {
    VER_PLATFORM_WIN32s = 0,
    VER_PLATFORM_WIN32_WINDOWS = 1,
    VER_PLATFORM_WIN32_NT = 2,
};

enum : BYTE {
    VER_NT_WORKSTATION = 1,
    VER_NT_DOMAIN_CONTROLLER = 2,
    VER_NT_SERVER = 3,
};

enum : WORD {
    PROCESSOR_ARCHITECTURE_INTEL = 0,
    PROCESSOR_ARCHITECTURE_ARM = 5,
    PROCESSOR_ARCHITECTURE_IA64 = 6,
    PROCESSOR_ARCHITECTURE_ALPHA64 = 7,
    PROCESSOR_ARCHITECTURE_AMD64 = 9,
    PROCESSOR_ARCHITECTURE_ARM64 = 12,
    PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF,
};

namespace Platform {

// What the version calls answer. Each operation mirrors one Win32 call or
// look-up; false means the call failed or the function is not there.
class ZVersionSource {
public:
    virtual ~ZVersionSource() = default;
    // GetVersionExW: fills as much of *info as its dwOSVersionInfoSize names
    // (276 or 284 bytes).
    virtual bool versionEx(OSVERSIONINFOW* info) = 0;
    // RtlGetNtVersionNumbers of ntdll.dll; false when ntdll has no such export.
    virtual bool ntVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) = 0;
    // The fixed file info of <system directory>\ntoskrnl.exe; false when the
    // version resource cannot be read.
    virtual bool kernelFileVersion(VS_FIXEDFILEINFO* info) = 0;
    // GetNativeSystemInfo of kernel32.dll; false when kernel32 lacks it.
    virtual bool nativeSystemInfo(SYSTEM_INFO* info) = 0;
};

// The Linux answers: no Windows version, the architecture from uname.
class ZHostVersionSource : public ZVersionSource {
public:
    bool versionEx(OSVERSIONINFOW* info) override;
    bool ntVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) override;
    bool kernelFileVersion(VS_FIXEDFILEINFO* info) override;
    bool nativeSystemInfo(SYSTEM_INFO* info) override;
};

// The process's version source; the host source unless a test installed one.
ZVersionSource& versionSource();
// Installs s (nullptr restores the host source). The caller keeps s alive.
void setVersionSource(ZVersionSource* s);

} // namespace Platform

BOOL GetVersionExW(OSVERSIONINFOW* info);
void GetNativeSystemInfo(SYSTEM_INFO* info);
