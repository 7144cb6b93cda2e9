#include "devices/emulated/ZEmulatedFaultPlan.h"

#include <algorithm>

namespace Platform {

void ZEmulatedFaultPlan::failCall(DWORD code, DWORD error, int times, int after)
{
    Fault f;
    f.error = error;
    f.times = times == 0 ? 1 : times;
    f.after = std::max(after, 0);
    faults_[code].push_back(f);
}

void ZEmulatedFaultPlan::clearFault(DWORD code)
{
    faults_.erase(code);
}

void ZEmulatedFaultPlan::clearFaults()
{
    faults_.clear();
}

void ZEmulatedFaultPlan::redirectRecord(DWORD requested, DWORD answer)
{
    redirects_[requested] = answer;
}

void ZEmulatedFaultPlan::clearRedirects()
{
    redirects_.clear();
}

bool ZEmulatedFaultPlan::redirect(DWORD requested, DWORD& answer) const
{
    auto it = redirects_.find(requested);
    if (it == redirects_.end())
        return false;
    answer = it->second;
    return true;
}

ULONGLONG ZEmulatedFaultPlan::callCount(DWORD code) const
{
    auto it = callCounts_.find(code);
    return it == callCounts_.end() ? 0 : it->second;
}

bool ZEmulatedFaultPlan::takeFault(DWORD code, DWORD& error)
{
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.empty())
        return false;
    Fault& f = it->second.front();
    if (f.after > 0) {
        --f.after;
        return false;
    }
    error = f.error;
    if (f.times != kUntilCleared && --f.times <= 0) {
        it->second.erase(it->second.begin());
        if (it->second.empty())
            faults_.erase(it);
    }
    return true;
}

bool ZEmulatedFaultPlan::admit(DWORD code, DWORD alsoCode)
{
    ++callCounts_[code];
    if (notReady_) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    DWORD error = 0;
    if (takeFault(code, error) || (alsoCode && takeFault(alsoCode, error))) {
        SetLastError(error);
        return false;
    }
    return true;
}

} // namespace Platform
