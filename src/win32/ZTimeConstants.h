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

// The system's fixed intervals. Tests never wait for them: they drive the
// clock seam (ZClock) or a sleep hook instead.
// A journal read that fails is tried again after this long.
constexpr unsigned kJournalRetryDelayMs = 5000;
// A piece released by the pool is reused only after this age.
constexpr long long kPieceReuseAgeSeconds = 600000;
// Restarts closer together than this count as one crash loop.
constexpr long long kRestartWindowSeconds = 300;
// A drive with unsaved changes writes its cache at least this often.
constexpr long long kCacheSaveIntervalSeconds = 300;
// A drive cache older than this is stale whatever it holds...
constexpr long long kCacheMaxAgeDays = 30;
// ...and one with many changes is stale after this many days.
constexpr long long kCacheManyChangesDays = 3;
// How long the service waits for a drive's threads at its stop.
constexpr int kVolumeShutdownWaitMs = 5000;

} // namespace Platform
