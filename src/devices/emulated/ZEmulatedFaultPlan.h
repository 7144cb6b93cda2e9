// The faults an emulated device is asked to show: calls that fail with a
// chosen error (after some calls, for some times or until cleared), record
// requests answered with another record, and the not-ready state of a volume
// that went away. It also counts every call. Not locked: its owner's lock
// guards it.
#pragma once

#include "win32/win32_types.h"

#include <unordered_map>
#include <vector>

namespace Platform {

class ZEmulatedFaultPlan {
public:
    static constexpr int kUntilCleared = -1;

    // Calls of code fail with error, after skipping `after` calls, `times`
    // times (0 counts as 1) or kUntilCleared.
    void failCall(DWORD code, DWORD error, int times, int after);
    void clearFault(DWORD code);
    void clearFaults();

    void redirectRecord(DWORD requested, DWORD answer);
    void clearRedirects();
    // True with the answer when requested is redirected.
    bool redirect(DWORD requested, DWORD& answer) const;

    void setNotReady(bool notReady) { notReady_ = notReady; }
    bool notReady() const { return notReady_; }

    ULONGLONG callCount(DWORD code) const;
    // Counts a call of code and decides whether it may go on: false with
    // SetLastError when not ready or when a fault of code (or else alsoCode,
    // when non-zero) is due.
    bool admit(DWORD code, DWORD alsoCode);

private:
    struct Fault {
        DWORD error = 0;
        int times = 1;
        int after = 0;
    };
    bool takeFault(DWORD code, DWORD& error);

    std::unordered_map<DWORD, std::vector<Fault>> faults_;
    std::unordered_map<DWORD, DWORD> redirects_;
    std::unordered_map<DWORD, ULONGLONG> callCounts_;
    bool notReady_ = false;
};

} // namespace Platform
