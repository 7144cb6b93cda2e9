#include "diagnostics/ZTelemetry.h"

#include "diagnostics/ZOsVersion.h"
#include "diagnostics/ZTallyClient.h"
#include "frame/ZSettings.h"
#include "platform/windows.h"

namespace SearchEngine {

const char16_t kTallyTableDescription[] =
    u"vexa_search_service:8656 dtype:byte reason:short drive:string scanfiles:int scansec:int "
    u"updatecount:int runsec:int inittimes:byte os:byte ver:byte";
static_assert(sizeof(kTallyTableDescription) / sizeof(char16_t) - 1 == 146, "table description length");

namespace {

constexpr char16_t kTallyLibrary[] = u"ztally.dll";
constexpr char16_t kTallySubPath[] = u"operation\\cas\\ztally.dll";
constexpr char kExportName[] = "GetExportInterface";
constexpr char16_t kInterfaceName[] = u"ITallyClient2";
constexpr char16_t kProgramKey[] = u"SOFTWARE\\orvanta\\Antivirus";
constexpr char16_t kProgramPathValue[] = u"ProgramPath";

// Buffer sizes of the binding: module file name, built paths, and the
// "ProgramPath" value in bytes.
constexpr DWORD kModuleNameChars = MAX_PATH;
constexpr size_t kPathChars = 520;
constexpr DWORD kProgramPathBytes = 516;
constexpr DWORD kProgramPathMinBytes = 6;

constexpr int kRecordVersion = 1;
constexpr int kWriteFlags = 0;
constexpr ULONGLONG kMsPerSecond = 1000;

bool isSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

// The executable's folder ending in a separator, or empty.
std::u16string executableDirectory()
{
    WCHAR buffer[kModuleNameChars] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, kModuleNameChars);
    if (n == 0 || n >= kModuleNameChars)
        return std::u16string();
    std::u16string path(buffer, n);
    const size_t cut = path.find_last_of(u"\\/");
    if (cut == std::u16string::npos)
        return std::u16string();
    path.resize(cut + 1);
    return path;
}

// "ProgramPath" ending in a separator, or empty when absent or unusable.
std::u16string programPath()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgramKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::u16string();
    WCHAR value[kProgramPathBytes / sizeof(WCHAR) + 1] = {};
    DWORD type = 0;
    DWORD size = kProgramPathBytes;
    const LSTATUS rc = RegQueryValueExW(key, kProgramPathValue, nullptr, &type,
                                        reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size < kProgramPathMinBytes || size > kProgramPathBytes)
        return std::u16string();
    // The stored string need not be terminated within its size.
    std::u16string path(value, size / sizeof(WCHAR));
    const size_t nul = path.find(u'\0');
    if (nul != std::u16string::npos)
        path.resize(nul);
    if (path.empty())
        return path;
    if (!isSeparator(path.back()))
        path += u'\\';
    return path;
}

// Adds base + tail when it fits the path buffer.
void addPath(std::vector<std::u16string>& paths, const std::u16string& base, const char16_t* tail)
{
    std::u16string p = base + tail;
    if (p.size() < kPathChars)
        paths.push_back(std::move(p));
}

// Values computed at the first report of the process and kept.
struct ProcessValues {
    int os;
    int initTimes;
};

const ProcessValues& processValues()
{
    static const ProcessValues values{osCode(), settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt()};
    return values;
}

} // namespace

ZTallyNoZfmtFileWrap::ZTallyNoZfmtFileWrap()
{
    bind();
}

ZTallyNoZfmtFileWrap::~ZTallyNoZfmtFileWrap()
{
    if (client_)
        client_->release();
}

LPCWSTR ZTallyNoZfmtFileWrap::interfaceName() const
{
    return kInterfaceName;
}

std::vector<std::u16string> ZTallyNoZfmtFileWrap::libraryPaths()
{
    std::vector<std::u16string> paths;
    const std::u16string exeDir = executableDirectory();
    if (!exeDir.empty()) {
        addPath(paths, exeDir, kTallySubPath);
        addPath(paths, exeDir, kTallyLibrary);
    }
    const std::u16string program = programPath();
    if (!program.empty())
        addPath(paths, program, kTallySubPath);
    // Last, the bare name through the normal library search. A relative
    // folder ("operation\cas\") is not tried: it would load code from
    // whatever the current directory is.
    addPath(paths, std::u16string(), kTallyLibrary);
    return paths;
}

void ZTallyNoZfmtFileWrap::bind()
{
    module_ = GetModuleHandleW(kTallyLibrary);
    if (!module_) {
        for (const std::u16string& path : libraryPaths()) {
            module_ = LoadLibraryW(path.c_str());
            if (module_)
                break;
        }
    }
    if (!module_)
        return;
    auto getInterface = reinterpret_cast<GetExportInterfaceProc>(reinterpret_cast<void*>(GetProcAddress(module_, kExportName)));
    if (!getInterface)
        return;
    ITallyClient2* client = getInterface(interfaceName());
    if (!client)
        return;
    if (client->initialize() == 0) {
        client->release();
        return;
    }
    client_ = client;
}

void ZServiceStartTick::sendReport(int dtype, int reason, const ScanStats& stats) const
{
    ZTallyNoZfmtFileWrap tally;
    ITallyClient2* client = tally.client();
    if (client) {
        client->setTable(kTallyTableDescription);
        client->addInt(u"dtype", dtype);
        client->addInt(u"reason", reason);
        client->addString(u"drive", reinterpret_cast<LPCWSTR>(stats.drive.utf16()));
        client->addInt(u"scanfiles", stats.scanfiles);
        client->addInt(u"scansec", stats.scansec);
        client->addInt(u"updatecount", stats.updatecount);
    }
    const ProcessValues& once = processValues();
    // Low 32 bits of both ticks: wraps as GetTickCount does.
    const DWORD elapsedMs = DWORD(GetTickCount64()) - DWORD(value());
    const int runsec = int(elapsedMs / kMsPerSecond);
    if (client) {
        client->addInt(u"runsec", runsec);
        client->addInt(u"inittimes", once.initTimes);
        client->addInt(u"os", once.os);
        client->addInt(u"ver", kRecordVersion);
        client->write(kWriteFlags);
    }
}

ZServiceStartTick& serviceStartTick()
{
    static ZServiceStartTick tick;
    return tick;
}

void sendReport(int dtype, int reason, const ScanStats& stats)
{
    serviceStartTick().sendReport(dtype, reason, stats);
}

} // namespace SearchEngine
