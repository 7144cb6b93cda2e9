// A stand-in for the suite's crash-dump library: its monitor entry appends
// its four arguments, one line "mode|identifier|flags|seconds", to the file
// named by ZDUMP_RECORD_FILE. A process that exits at once still reports the
// call: at exit it waits (a few seconds at most) for the entry to be called.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::atomic<bool> called{false};

void waitForCall()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!called.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

__attribute__((constructor)) void onLoad()
{
    if (std::getenv("ZDUMP_RECORD_FILE"))
        std::atexit(waitForCall);
}

// The identifiers the tests pass are ASCII; anything else shows as '?'.
std::string narrow(const char16_t* s)
{
    std::string out;
    for (; s && *s; ++s)
        out += *s < 0x80 ? char(*s) : '?';
    return out;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int VyxOpenDumpMonitorEx2(int mode, const char16_t* identifier,
                                                                            int flags, int seconds)
{
    if (const char* path = std::getenv("ZDUMP_RECORD_FILE")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%d|%s|%d|%d\n", mode, narrow(identifier).c_str(), flags, seconds);
            std::fclose(f);
        }
    }
    called = true;
    return 0;
}
