// A manual clock on which a journal read never waits: the idleReadsToStop-th
// read in a row that would wait (the ones before took every record there
// was) stops the drive's monitor, as does a sleep that reaches stopAt.
#pragma once

#include "win32/ZClock.h"

#include <atomic>

namespace TestSupport {

struct ZStoppingClock : Platform::ZManualClock {
    std::atomic<bool>* stop = nullptr;
    int idleReadsToStop = 1;
    int idleReads = 0;
    ULONGLONG stopAt = ~0ull;

    void sleepMs(DWORD ms) override
    {
        ZManualClock::sleepMs(ms);
        if (tickMs() >= stopAt)
            stop->store(true);
    }
    bool waitFor(std::condition_variable&, std::unique_lock<std::mutex>&, DWORD,
                 const std::function<bool()>& pred) override
    {
        const bool ready = pred();
        idleReads = ready ? 0 : idleReads + 1;
        if (idleReads >= idleReadsToStop)
            stop->store(true);
        return ready;
    }
};

} // namespace TestSupport
