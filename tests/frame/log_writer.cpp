// A small program that writes log lines, for the logger's process tests: the
// log goes to log/ beside wherever the test copied this program.
//   lines <count> <tag> <threads>   count ERROR lines per thread
//   levels                          one line per severity
//   format                          one known line; prints its thread id and source line, then
//                                   GetLastError() after a written and a dropped statement
#include "frame/ZLog.h"
#include "platform/windows.h"

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kPadding = 120;

int writeLines(int count, const char* tag, int threads)
{
    const std::string padding(kPadding, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([=] {
            for (int i = 0; i < count; ++i)
                LOG(ERROR) << "line " << tag << " " << t << " " << i << " " << padding;
        });
    }
    for (auto& w : workers)
        w.join();
    return 0;
}

int writeLevels()
{
    bool evaluated = false;
    auto mark = [&] {
        evaluated = true;
        return "x";
    };
    LOG(DEBUG) << "level DEBUG " << mark();
    LOG(INFO) << "level INFO";
    LOG(WARNING) << "level WARNING";
    LOG(ERROR) << "level ERROR";
    LOG(FATAL) << "level FATAL";
    std::printf("debug-evaluated=%d\n", evaluated ? 1 : 0);
    return 0;
}

int writeFormat()
{
    std::printf("tid=%u\n", GetCurrentThreadId());
    std::printf("line=%d\n", __LINE__ + 1);
    LOG(ERROR) << "text " << static_cast<unsigned short>(67) << ' ' << QStringLiteral("q\"") << u"wide" << -5LL;
    SetLastError(1234);
    LOG(ERROR) << "err=" << GetLastError();
    std::printf("after=%u\n", GetLastError());
    SetLastError(4321);
    LOG(DEBUG) << "dropped " << GetLastError();
    std::printf("afterdropped=%u\n", GetLastError());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (mode == "lines" && argc > 4)
        rc = writeLines(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
    else if (mode == "levels")
        rc = writeLevels();
    else if (mode == "format")
        rc = writeFormat();
    std::printf("done\n");
    std::fflush(stdout);
    return rc;
}
