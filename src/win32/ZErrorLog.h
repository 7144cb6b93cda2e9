// Errors found below the process frame (volume devices) reach the log
// through a sink the frame installs; without one they go to Qt's output.
#pragma once

#include <QString>

#include <functional>

namespace Platform {

void setErrorLog(std::function<void(const QString&)> sink);
void logPlatformError(const QString& line);

} // namespace Platform
