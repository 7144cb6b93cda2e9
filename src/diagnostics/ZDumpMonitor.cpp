#include "diagnostics/ZDumpMonitor.h"

#include "platform/windows.h"

#include <algorithm>
#include <memory>
#include <string>

namespace SearchEngine {

// A GUID's digits without braces or hyphens, the third group in small letters.
const char16_t kDefaultDumpIdentifier[] = u"5E3A91C7B2D4" u"4f6a" u"8C1D7B0E9F25A463";
static_assert(sizeof(kDefaultDumpIdentifier) / sizeof(char16_t) - 1 == 32, "32 hexadecimal digits");

namespace {

constexpr char16_t kDumpLibrary[] = u"zdump.dll";
constexpr char kDumpExport[] = "VyxOpenDumpMonitorEx2";
constexpr char16_t kCategoryKey[] =
    u"SOFTWARE\\Classes\\CLSID\\"
    u"{9B7A98EC-7EF9-468c-ACC8-37C793DBD7E0}"
    u"\\Implemented Categories\\"
    u"{A5F7140E-4311-4ef9-AABC-F55941B5EBE5}";
constexpr char16_t kIdentifierValue[] = u"idex";
constexpr REGSAM kCategoryAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
constexpr DWORD kIdentifierBytes = 128;
constexpr DWORD kHeadStartMs = 10;

// The monitor's arguments after the identifier.
constexpr int kMonitorMode = 1;
constexpr int kMonitorFlags = 0x12000;
constexpr int kMonitorSeconds = 300;

typedef int(WINAPI* DumpMonitorEntry)(int mode, LPCWSTR identifier, int flags, int seconds);

// The identifier from the registry, or false when it is absent, does not fit
// 128 bytes, or fills them without an end.
bool readIdentifier(std::u16string* out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCategoryKey, 0, kCategoryAccess, &key) != LSTATUS(ERROR_SUCCESS))
        return false;
    WCHAR buffer[kIdentifierBytes / sizeof(WCHAR)] = {};
    DWORD size = kIdentifierBytes;
    const LSTATUS rc = RegQueryValueExW(key, kIdentifierValue, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                                        &size);
    RegCloseKey(key);
    if (rc != LSTATUS(ERROR_SUCCESS))
        return false;
    const WCHAR* end = std::find(std::begin(buffer), std::end(buffer), WCHAR(0));
    if (end == std::end(buffer))
        return false;
    out->assign(buffer, size_t(end - buffer));
    return true;
}

// What the monitor thread needs; it owns this for as long as it runs.
struct MonitorStart {
    DumpMonitorEntry entry;
    std::u16string identifier;
};

unsigned monitorThread(void* arg)
{
    std::unique_ptr<MonitorStart> start(static_cast<MonitorStart*>(arg));
    start->entry(kMonitorMode, start->identifier.c_str(), kMonitorFlags, kMonitorSeconds);
    return 0;
}

} // namespace

QString dumpMonitorIdentifier()
{
    std::u16string id;
    if (!readIdentifier(&id))
        id = kDefaultDumpIdentifier;
    return QString::fromStdU16String(id);
}

bool startDumpMonitorFrom(LPCWSTR library)
{
    HMODULE module = LoadLibraryW(library);
    if (!module)
        return false;
    FARPROC entry = GetProcAddress(module, kDumpExport);
    if (!entry)
        return false;
    // The identifier is read here rather than on the detached thread, so that
    // the thread touches nothing that process exit tears down.
    auto* start = new MonitorStart{reinterpret_cast<DumpMonitorEntry>(reinterpret_cast<void*>(entry)),
                                   dumpMonitorIdentifier().toStdU16String()};
    const uintptr_t thread = _beginthreadex(nullptr, 0, monitorThread, start, 0, nullptr);
    if (!thread)
        delete start;
    Sleep(kHeadStartMs);
    if (thread)
        CloseHandle(reinterpret_cast<HANDLE>(thread));
    // The library stays loaded for the life of the process.
    return thread != 0;
}

void startDumpMonitor()
{
    startDumpMonitorFrom(kDumpLibrary);
}

} // namespace SearchEngine
