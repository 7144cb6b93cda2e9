#include "win32/ZClock.h"

#include <ctime>
#include <thread>

namespace Platform {

namespace {
ZSystemClock& systemClock()
{
    static ZSystemClock c;
    return c;
}
std::atomic<ZClock*> currentClock{nullptr};
constexpr auto kManualPollSlice = std::chrono::milliseconds(2);
} // namespace

ULONGLONG ZSystemClock::tickMs()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return ULONGLONG(ts.tv_sec) * 1000u + ULONGLONG(ts.tv_nsec) / 1000000u;
}

QDateTime ZSystemClock::now()
{
    return QDateTime::currentDateTimeUtc();
}

void ZSystemClock::sleepMs(DWORD ms)
{
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ZSystemClock::waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           DWORD timeoutMs, const std::function<bool()>& pred)
{
    if (timeoutMs == INFINITE) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

ZManualClock::ZManualClock(ULONGLONG startTickMs, const QDateTime& start)
    : startTick_(startTickMs), start_(start)
{
}

ULONGLONG ZManualClock::tickMs()
{
    return startTick_ + elapsedMs_.load();
}

QDateTime ZManualClock::now()
{
    std::lock_guard<std::mutex> g(startLock_);
    return start_.addMSecs(qint64(elapsedMs_.load()));
}

void ZManualClock::sleepMs(DWORD ms)
{
    advance(ms);
    std::this_thread::yield();
}

bool ZManualClock::waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           DWORD timeoutMs, const std::function<bool()>& pred)
{
    const ULONGLONG deadline = tickMs() + timeoutMs;
    while (!pred()) {
        if (timeoutMs != INFINITE && tickMs() >= deadline)
            return false;
        cv.wait_for(lock, kManualPollSlice);
    }
    return true;
}

void ZManualClock::advance(ULONGLONG ms)
{
    elapsedMs_ += ms;
}

void ZManualClock::setNow(const QDateTime& now)
{
    std::lock_guard<std::mutex> g(startLock_);
    start_ = now.addMSecs(-qint64(elapsedMs_.load()));
}

ZClock& clock()
{
    ZClock* c = currentClock.load();
    return c ? *c : systemClock();
}

void setClock(ZClock* c)
{
    currentClock.store(c);
}

} // namespace Platform

ULONGLONG GetTickCount64()
{
    return Platform::clock().tickMs();
}

void Sleep(DWORD ms)
{
    Platform::clock().sleepMs(ms);
}
