#include "win32/ZErrorLog.h"

#include <mutex>

namespace Platform {

namespace {
std::mutex sinkLock;
std::function<void(const QString&)>& sink()
{
    static std::function<void(const QString&)> s;
    return s;
}
} // namespace

void setErrorLog(std::function<void(const QString&)> s)
{
    std::lock_guard<std::mutex> g(sinkLock);
    sink() = std::move(s);
}

void logPlatformError(const QString& line)
{
    std::function<void(const QString&)> s;
    {
        std::lock_guard<std::mutex> g(sinkLock);
        s = sink();
    }
    if (s)
        s(line);
    else
        qCritical("%s", qPrintable(line));
}

} // namespace Platform
