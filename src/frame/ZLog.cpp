#include "frame/ZLog.h"

#include "platform/windows.h"
#include "win32/ZErrorLog.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum : int32_t {
    kNotInitialised = 0,
    kInitialising = 1,
    kInitialised = 2,
};

constexpr LONGLONG kMaxLogBytesAtOpen = 10485760; // 10 MiB: larger files are emptied when opened
constexpr size_t kThreadIdWidth = 5;
constexpr size_t kSeverityWidth = 7;
constexpr int kStackLineBytes = 128;
constexpr int32_t kHighestThreshold = LOG_ERROR;
constexpr DWORD kFirstOutOfRangeLevel = 5;

constexpr char16_t kLevelKey[] = u"Software\\Orvanta\\antivirus\\sysopt";
constexpr char16_t kLevelValue[] = u"LogLevel";
constexpr char16_t kLogFolder[] = u"\\log\\";
constexpr char16_t kLogExtension[] = u".log";
constexpr char16_t kMutexPrefix[] = u"Global\\";
constexpr char16_t kLockSuffix[] = u".lock";
// The longest wait for another process's line; after it the line is written
// without the lock rather than held up or lost.
constexpr DWORD kLockWaitMs = 2000;
constexpr char16_t kLineEnd[] = u"\r\n";

// Process-wide logger state. Never destroyed, so that statements in other
// threads or in static destructors at exit stay safe.
struct LoggerState {
    std::atomic<int32_t> init{kNotInitialised};
    std::atomic<int32_t> threshold{LOG_INFO};
    // Guarded by lock: this process's threads take it around every open and
    // write, the named mutex (a private lock file beside the log, so that no
    // reader of the log can hold it) then serialises the processes.
    std::mutex lock;
    std::u16string path;
    HANDLE file = nullptr;
    HANDLE mutex = nullptr;
};

LoggerState& state()
{
    static LoggerState* s = new LoggerState;
    return *s;
}

// Restores the thread's last error when a scope ends.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    DWORD saved() const { return saved_; }

private:
    DWORD saved_;
};

void readThreshold(LoggerState& s)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLevelKey, 0, KEY_READ, &key) != LSTATUS(ERROR_SUCCESS))
        return;
    DWORD level = 0;
    DWORD size = sizeof level;
    const LSTATUS rc = RegQueryValueExW(key, kLevelValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&level), &size);
    RegCloseKey(key);
    // A value shorter than a DWORD would leave part of it unread: not a level.
    if (rc != LSTATUS(ERROR_SUCCESS) || size != sizeof level)
        return;
    if (level < kFirstOutOfRangeLevel)
        s.threshold = level < DWORD(kHighestThreshold) ? int32_t(level) : kHighestThreshold;
    else
        s.threshold = LOG_INFO;
}

// The log path "<exe folder>\log\<exe name without extension>.<module file
// name>.log", made once; empty when the folder cannot be made private (0700,
// this user's own).
// The folder the log goes to: "log" itself, or where it links to when it is
// a link in a folder that only its owner (this user or root) can change, as
// the installed program's link to /var/log/searchservice is.
QString logFolderTarget(const QString& logFolder)
{
    QString folder = logFolder;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QFileInfo link(folder);
    struct stat parent = {};
    const bool trustedParent = ::lstat(QFile::encodeName(link.absolutePath()).constData(), &parent) == 0
                               && (parent.st_uid == ::geteuid() || parent.st_uid == 0)
                               && (parent.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return link.isSymLink() && trustedParent ? link.symLinkTarget() : folder;
}

std::u16string computeLogPath()
{
    WCHAR module[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::u16string();
    WCHAR folder[MAX_PATH] = {};
    std::copy(module, module + n + 1, folder);
    PathRemoveFileSpecW(folder);
    if (!PathAppendW(folder, kLogFolder))
        return std::u16string();
    if (!Platform::makePrivateFolder(logFolderTarget(Platform::toNativePath(QString::fromUtf16(folder)))))
        return std::u16string();

    WCHAR exeName[MAX_PATH] = {};
    const std::u16string exeFile(PathFindFileNameW(module));
    std::copy(exeFile.begin(), exeFile.end(), exeName);
    PathRemoveExtensionW(exeName);

    // The module holding the logger: the executable itself in this program.
    HMODULE self = nullptr;
    WCHAR ownModule[MAX_PATH] = {};
    std::u16string ownFile = exeFile;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&logInit), &self)) {
        const DWORD m = GetModuleFileNameW(self, ownModule, MAX_PATH);
        if (m > 0 && m < MAX_PATH)
            ownFile = PathFindFileNameW(ownModule);
    }
    return std::u16string(folder) + exeName + u"." + ownFile + kLogExtension;
}

// Says once on stderr that the program runs without its log.
void reportLogUnavailable(const LoggerState& s)
{
    static std::atomic<bool> reported{false};
    if (reported.exchange(true))
        return;
    const QString what = s.path.empty() ? QStringLiteral("folder \"log\" beside the executable")
                                        : Platform::toNativePath(QString::fromStdU16String(s.path));
    std::fprintf(stderr, "searchservice: the log %s cannot be opened; running without it\n", qPrintable(what));
}

void createMutexOnce(LoggerState& s)
{
    if (s.mutex || s.path.empty())
        return;
    std::u16string name = s.path;
    for (char16_t& c : name)
        if (c == u'\\')
            c = u'/';
    name.insert(0, kMutexPrefix);
    name += kLockSuffix;
    s.mutex = CreateMutexW(nullptr, FALSE, name.c_str());
}

bool openFile(LoggerState& s)
{
    // Made or kept this user's own regular file, 0600; in the private folder
    // it stays the file opened below.
    const int checked = Platform::openPrivateFile(Platform::toNativePath(QString::fromStdU16String(s.path)),
                                                  O_WRONLY | O_CREAT);
    if (checked < 0)
        return false;
    ::close(checked);
    s.file = CreateFileW(s.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == INVALID_HANDLE_VALUE) {
        s.file = nullptr;
        return false;
    }
    LARGE_INTEGER size{};
    LARGE_INTEGER zero{};
    if (GetFileSizeEx(s.file, &size) && size.QuadPart > kMaxLogBytesAtOpen) {
        SetFilePointerEx(s.file, zero, nullptr, FILE_BEGIN);
        SetEndOfFile(s.file);
    } else {
        SetFilePointerEx(s.file, zero, nullptr, FILE_END);
    }
    return true;
}

// With s.lock held: the named mutex around f, or f alone without it (no
// mutex, or another process kept it past kLockWaitMs).
template <typename F>
void underMutex(LoggerState& s, F f)
{
    createMutexOnce(s);
    const bool owned = s.mutex && WaitForSingleObject(s.mutex, kLockWaitMs) == WAIT_OBJECT_0;
    f();
    if (owned)
        ReleaseMutex(s.mutex);
}

void writeLine(const std::u16string& text, bool flush)
{
    char stackBuffer[kStackLineBytes];
    std::vector<char> heapBuffer;
    const int length = int(text.size());
    char* bytes = stackBuffer;
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, stackBuffer, kStackLineBytes, nullptr, nullptr);
    if (n == 0) {
        const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
        if (needed <= 0)
            return;
        heapBuffer.resize(size_t(needed));
        n = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, heapBuffer.data(), needed, nullptr, nullptr);
        bytes = heapBuffer.data();
        if (n <= 0)
            return;
    }

    LoggerState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    underMutex(s, [&] {
        if (!s.file && !openFile(s))
            return;
        LARGE_INTEGER zero{};
        SetFilePointerEx(s.file, zero, nullptr, FILE_END);
        DWORD written = 0;
        WriteFile(s.file, bytes, DWORD(n), &written, nullptr);
        if (flush)
            FlushFileBuffers(s.file);
    });
}

void appendAscii(std::u16string& out, const char* s)
{
    while (*s)
        out.push_back(char16_t(static_cast<unsigned char>(*s++)));
}

template <typename T>
void appendNumber(std::u16string& out, const char* format, T v)
{
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, format, v);
    if (n > 0)
        appendAscii(out, buffer);
}

void appendPadded(std::u16string& out, const std::u16string& field, size_t width, bool right)
{
    const size_t pad = field.size() < width ? width - field.size() : 0;
    if (right)
        out.append(pad, u' ');
    out += field;
    if (!right)
        out.append(pad, u' ');
}

std::u16string ascii(const char* s)
{
    std::u16string out;
    appendAscii(out, s);
    return out;
}

} // namespace

bool logInit()
{
    LoggerState& s = state();
    if (s.init.load(std::memory_order_acquire) == kInitialised)
        return true;
    const LastErrorKeeper keeper;
    int32_t expected = kNotInitialised;
    if (!s.init.compare_exchange_strong(expected, kInitialising)) {
        while (s.init.load(std::memory_order_acquire) == kInitialising)
            Sleep(0);
        return s.init.load(std::memory_order_acquire) == kInitialised;
    }
    s.threshold = LOG_INFO;
    readThreshold(s);
    bool opened = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.path.empty())
            s.path = computeLogPath();
        if (!s.path.empty()) {
            underMutex(s, [&] {
                if (s.file) {
                    CloseHandle(s.file);
                    s.file = nullptr;
                }
                opened = openFile(s);
            });
        }
    }
    s.init.store(opened ? kInitialised : kNotInitialised, std::memory_order_release);
    if (!opened)
        reportLogUnavailable(s);
    return opened;
}

int32_t logThreshold()
{
    return state().threshold.load(std::memory_order_relaxed);
}

const char* logSeverityName(int32_t severity)
{
    static const char* const names[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
    if (severity < LOG_DEBUG || severity > LOG_FATAL)
        return "UNKNOWN";
    return names[severity];
}

std::u16string logLinePrefix(DWORD threadId, const SYSTEMTIME& t, int32_t severity, const char* file, int line)
{
    std::u16string out(u"[");
    std::u16string id;
    appendNumber(id, "%" PRIu32, threadId);
    appendPadded(out, id, kThreadIdWidth, false);
    out += u'|';
    char date[64];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t.wYear), unsigned(t.wMonth),
                  unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
    appendAscii(out, date);
    out += u'|';
    appendPadded(out, ascii(logSeverityName(severity)), kSeverityWidth, true);
    out += u'|';
    const char* name = file ? file : "";
    for (const char* p = name; *p; ++p)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    out += QString::fromUtf8(name).toStdU16String();
    out += u':';
    appendNumber(out, "%d", line);
    out += u"] ";
    return out;
}

LogStream& LogStream::operator<<(const char* s)
{
    if (s)
        text_ += QString::fromUtf8(s).toStdU16String();
    return *this;
}

LogStream& LogStream::operator<<(const std::string& s)
{
    text_ += QString::fromUtf8(s.data(), int(s.size())).toStdU16String();
    return *this;
}

LogStream& LogStream::operator<<(const char16_t* s)
{
    if (s)
        text_ += s;
    return *this;
}

LogStream& LogStream::operator<<(const std::u16string& s)
{
    text_ += s;
    return *this;
}

LogStream& LogStream::operator<<(const QString& s)
{
    QString rendered;
    QDebug(&rendered) << s;
    text_.append(reinterpret_cast<const char16_t*>(rendered.utf16()), size_t(rendered.size()));
    return *this;
}

LogStream& LogStream::operator<<(char c)
{
    text_.push_back(char16_t(static_cast<unsigned char>(c)));
    return *this;
}

LogStream& LogStream::operator<<(char16_t c)
{
    text_.push_back(c);
    return *this;
}

LogStream& LogStream::operator<<(bool v)
{
    text_.push_back(v ? u'1' : u'0');
    return *this;
}

LogStream& LogStream::operator<<(signed char v) { appendNumber(text_, "%d", int(v)); return *this; }
LogStream& LogStream::operator<<(unsigned char v) { appendNumber(text_, "%u", unsigned(v)); return *this; }
LogStream& LogStream::operator<<(short v) { appendNumber(text_, "%d", int(v)); return *this; }
LogStream& LogStream::operator<<(unsigned short v) { appendNumber(text_, "%u", unsigned(v)); return *this; }
LogStream& LogStream::operator<<(int v) { appendNumber(text_, "%d", v); return *this; }
LogStream& LogStream::operator<<(unsigned int v) { appendNumber(text_, "%u", v); return *this; }
LogStream& LogStream::operator<<(long v) { appendNumber(text_, "%ld", v); return *this; }
LogStream& LogStream::operator<<(unsigned long v) { appendNumber(text_, "%lu", v); return *this; }
LogStream& LogStream::operator<<(long long v) { appendNumber(text_, "%lld", v); return *this; }
LogStream& LogStream::operator<<(unsigned long long v) { appendNumber(text_, "%llu", v); return *this; }
LogStream& LogStream::operator<<(float v) { appendNumber(text_, "%g", double(v)); return *this; }
LogStream& LogStream::operator<<(double v) { appendNumber(text_, "%g", v); return *this; }

LogStream& LogStream::operator<<(const void* p)
{
    appendNumber(text_, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return *this;
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : severity_(severity), savedError_(GetLastError())
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    text_ = logLinePrefix(GetCurrentThreadId(), now, severity, file, line);
}

LogMessage::~LogMessage()
{
    text_ += kLineEnd;
    // A FATAL line is flushed to disk at once: the process may not outlive it.
    writeLine(text_, severity_ == LOG_FATAL);
    SetLastError(savedError_);
}

namespace {
// The volume devices sit below the frame; their errors come here.
const bool platformErrorsLogged = (Platform::setErrorLog([](Platform::PlatformLogLevel level, const QString& line) {
                                       switch (level) {
                                       case Platform::PlatformLogLevel::Info:
                                           LOG(INFO) << line.toStdU16String();
                                           break;
                                       case Platform::PlatformLogLevel::Warning:
                                           LOG(WARNING) << line.toStdU16String();
                                           break;
                                       case Platform::PlatformLogLevel::Error:
                                           LOG(ERROR) << line.toStdU16String();
                                           break;
                                       }
                                   }),
                                   true);
} // namespace
