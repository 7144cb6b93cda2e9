// The crash-dump monitor hook-up: hands the process to the suite's zdump.dll
// (libzdump.so here) when it is there; best effort, silent on every failure.
#pragma once

#include "win32/win32_types.h"

#include <QString>

namespace SearchEngine {

// Loads "zdump.dll", and when it exports the monitor entry, calls it on a
// detached thread after giving that thread a 10 ms head start.
void startDumpMonitor();
// The same with another library name; true when the monitor thread started.
bool startDumpMonitorFrom(LPCWSTR library);
// The identifier passed to the monitor: the "idex" value of the monitor's
// component category key, or the built-in default.
QString dumpMonitorIdentifier();
// The built-in identifier: 32 hexadecimal digits.
extern const char16_t kDefaultDumpIdentifier[];

} // namespace SearchEngine
