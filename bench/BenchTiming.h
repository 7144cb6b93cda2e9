// Wall time and peak memory, as every timing program prints them.
#pragma once

#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A "Name: N kB" line of /proc/self/status; -1 when there is none.
inline long statusKilobytes(const char* format)
{
    long kilobytes = -1;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (kilobytes < 0 && std::fgets(line, sizeof line, status))
            std::sscanf(line, format, &kilobytes);
        std::fclose(status);
    }
    return kilobytes;
}

// The process's resident size now, in KiB.
inline long residentKilobytes()
{
    return statusKilobytes("VmRSS: %ld kB");
}

// The process's peak resident size so far (since the last resetPeak), in KiB.
inline long peakKilobytes()
{
    const long peak = statusKilobytes("VmHWM: %ld kB");
    if (peak >= 0)
        return peak;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Gives freed heap back and starts the peak again from the resident size now,
// so that a second phase of one run is measured as a process of its own
// would be (above what the process still holds).
inline void resetPeak()
{
    malloc_trim(0);
    if (FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
}
