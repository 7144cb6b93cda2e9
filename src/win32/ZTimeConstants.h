// Time units and fixed intervals of the system, in one place. A FILETIME
// counts 100 ns ticks since 1601-01-01 UTC; the Unix epoch is 1970-01-01.
#pragma once

#include "win32/win32_types.h"

#include <time.h>

namespace Platform {

constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000ull;
constexpr ULONGLONG kFileTimeTicksPerMs = 10000ull;
constexpr ULONGLONG kNanosecondsPerFileTimeTick = 100ull;
// 1970-01-01 as a FILETIME.
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;

// A FILETIME from milliseconds since the Unix epoch.
constexpr ULONGLONG fileTimeFromUnixMs(LONGLONG ms)
{
    return kFileTimeUnixEpoch + ULONGLONG(ms) * kFileTimeTicksPerMs;
}

// A FILETIME from a time the kernel reports; times before 1601 read as 0.
inline ULONGLONG fileTimeFromTimespec(const timespec& t)
{
    if (t.tv_sec < -LONGLONG(kFileTimeUnixEpoch / kFileTimeTicksPerSecond))
        return 0;
    return kFileTimeUnixEpoch + ULONGLONG(LONGLONG(t.tv_sec) * LONGLONG(kFileTimeTicksPerSecond))
           + ULONGLONG(t.tv_nsec) / kNanosecondsPerFileTimeTick;
}

} // namespace Platform
