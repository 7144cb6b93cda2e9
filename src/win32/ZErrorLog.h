// Errors and notices found below the process frame (volume devices) reach
// the log through a sink the frame installs; without one, Qt's output.
#pragma once

#include <QString>

#include <functional>

namespace Platform {

enum class PlatformLogLevel { Info, Warning, Error };

void setErrorLog(std::function<void(PlatformLogLevel, const QString&)> sink);
void logPlatformLine(PlatformLogLevel level, const QString& line);
inline void logPlatformError(const QString& line)
{
    logPlatformLine(PlatformLogLevel::Error, line);
}

} // namespace Platform
