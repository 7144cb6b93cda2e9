#include "diagnostics/ZOsVersion.h"

#include "platform/win32_version.h"

#include <atomic>

namespace SearchEngine {

namespace {

enum : int {
    kOsNone = 0,
    kOsWin9x = 1,
    kOsWinMe = 2,
    kOsWin2000 = 3,
    kOsNt4 = 4,
    kOsXp64 = 5,
    kOsXp = 6,
    kOsVista = 7,
    kOsWin7 = 8,
    kOsServer2008 = 9,
    kOsWin8 = 10,
    kOsWin81 = 11,
    kOsWin10 = 12,
    kOsWin11 = 13,
};

// Windows 9x keeps its version in the high word of the build number.
constexpr DWORD kWinMeVersionWord = 0x045A;   // 4.90
constexpr DWORD kFirstWindows11Build = 21996; // 0x55EC
constexpr DWORD kBuildNumberMask = 0xFFFF;

// The version a workstation really runs, where GetVersionExW may stop at 6.2
// for a program that does not declare later releases.
void realVersion(DWORD& major, DWORD& minor, DWORD& build)
{
    Platform::ZVersionSource& source = Platform::versionSource();
    if (source.ntVersionNumbers(&major, &minor, &build)) {
        build &= kBuildNumberMask;
        return;
    }
    VS_FIXEDFILEINFO info{};
    if (source.kernelFileVersion(&info)) {
        major = info.dwFileVersionMS >> 16;
        minor = info.dwFileVersionMS & 0xFFFF;
        build = 0;
        return;
    }
    major = minor = build = 0;
}

int workstationFromRealVersion()
{
    DWORD major = 0, minor = 0, build = 0;
    realVersion(major, minor, build);
    if (major == 6) {
        switch (minor) {
        case 2: return kOsWin8;
        case 3: return kOsWin81;
        case 4: return kOsWin10;
        default: return kOsWin8;
        }
    }
    if (major == 10 && minor == 0)
        return build < kFirstWindows11Build ? kOsWin10 : kOsWin11;
    return kOsWin8;
}

int ntOsId(const OSVERSIONINFOEXW& vi)
{
    const bool workstation = vi.wProductType == VER_NT_WORKSTATION;
    const DWORD major = vi.dwMajorVersion;
    const DWORD minor = vi.dwMinorVersion;
    if (major == 6 && minor == 1)
        return workstation ? kOsWin7 : kOsServer2008;
    if (major == 6 && minor == 0)
        return workstation ? kOsVista : kOsServer2008;
    if (major == 5) {
        switch (minor) {
        case 0: return kOsWin2000;
        case 1: return kOsXp;
        case 2: return kOsXp64;
        default: return kOsNone;
        }
    }
    if (major <= 4)
        return kOsNt4;
    return workstation ? workstationFromRealVersion() : kOsNone;
}

} // namespace

int osIdFromVersionSource()
{
    OSVERSIONINFOEXW vi{};
    vi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&vi))) {
        vi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&vi)))
            return kOsNone;
    }
    switch (vi.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS:
        return (vi.dwBuildNumber >> 16) < kWinMeVersionWord ? kOsWin9x : kOsWinMe;
    case VER_PLATFORM_WIN32_NT:
        return ntOsId(vi);
    default:
        return kOsNone;
    }
}

int architectureFromVersionSource()
{
    SYSTEM_INFO info{};
    if (!Platform::versionSource().nativeSystemInfo(&info))
        return kArchitecture32;
    switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_IA64:
    case PROCESSOR_ARCHITECTURE_AMD64:
    case PROCESSOR_ARCHITECTURE_ALPHA64:
    case PROCESSOR_ARCHITECTURE_ARM64:
        return kArchitecture64;
    default:
        return kArchitecture32;
    }
}

int osCodeOf(int id, int architecture)
{
    const int base = (id >= kOsXp && id <= kOsWin11) ? 2 * (id - kOsXp) + 1 : 0;
    return base + (architecture == kArchitecture64 ? 1 : 0);
}

int osId()
{
    // 0 stands for "not yet known", so a system without a known release is
    // asked again at each call.
    static std::atomic<int> kept{kOsNone};
    int id = kept.load();
    if (id == kOsNone) {
        id = osIdFromVersionSource();
        kept.store(id);
    }
    return id;
}

int osCode()
{
    static const int architecture = architectureFromVersionSource();
    return osCodeOf(osId(), architecture);
}

} // namespace SearchEngine
