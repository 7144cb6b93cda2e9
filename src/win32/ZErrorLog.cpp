#include "win32/ZErrorLog.h"

#include <mutex>

namespace Platform {

namespace {
std::mutex sinkLock;
std::function<void(PlatformLogLevel, const QString&)>& sink()
{
    static std::function<void(PlatformLogLevel, const QString&)> s;
    return s;
}
} // namespace

void setErrorLog(std::function<void(PlatformLogLevel, const QString&)> s)
{
    std::lock_guard<std::mutex> g(sinkLock);
    sink() = std::move(s);
}

void logPlatformLine(PlatformLogLevel level, const QString& line)
{
    std::function<void(PlatformLogLevel, const QString&)> s;
    {
        std::lock_guard<std::mutex> g(sinkLock);
        s = sink();
    }
    if (s)
        s(level, line);
    else if (level == PlatformLogLevel::Error)
        qCritical("%s", qPrintable(line));
    else
        qWarning("%s", qPrintable(line));
}

} // namespace Platform
