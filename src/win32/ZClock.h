// The one clock-and-sleep seam. The product uses the real clocks; tests
// install a ZManualClock and move time themselves, so no test waits out a
// five-second time-out or a reuse age.
#pragma once

#include "win32/win32_types.h"

#include <QDateTime>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace Platform {

class ZClock {
public:
    virtual ~ZClock() = default;
    // Milliseconds since boot (GetTickCount64).
    virtual ULONGLONG tickMs() = 0;
    // Wall-clock time where a rule measures an age. The system clock gives
    // it in UTC, so that the comparisons on every change and every slot
    // reused cost no time-zone look-up; what is shown or stored as local
    // time converts it (toLocalTime).
    virtual QDateTime now() = 0;
    // Sleep / QThread::msleep in loops that wait.
    virtual void sleepMs(DWORD ms) = 0;
    // Waits on cv (with lock held) until pred() holds or timeoutMs passed on
    // this clock; INFINITE waits for pred alone. Returns pred().
    virtual bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         DWORD timeoutMs, const std::function<bool()>& pred) = 0;
};

// The real clocks: CLOCK_BOOTTIME, QDateTime::currentDateTimeUtc, nanosleep.
class ZSystemClock : public ZClock {
public:
    ULONGLONG tickMs() override;
    QDateTime now() override;
    void sleepMs(DWORD ms) override;
    bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 DWORD timeoutMs, const std::function<bool()>& pred) override;
};

// A clock that moves only when told. sleepMs advances it at once; waitFor
// returns as soon as pred holds or the clock has been advanced past the
// deadline (waiters re-check every few real milliseconds).
class ZManualClock : public ZClock {
public:
    explicit ZManualClock(ULONGLONG startTickMs = 1000000,
                          const QDateTime& start = QDateTime(QDate(2026, 3, 1), QTime(9, 0, 0)));
    ULONGLONG tickMs() override;
    QDateTime now() override;
    void sleepMs(DWORD ms) override;
    bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 DWORD timeoutMs, const std::function<bool()>& pred) override;

    void advance(ULONGLONG ms);
    void setNow(const QDateTime& now);

private:
    std::atomic<ULONGLONG> elapsedMs_{0};
    ULONGLONG startTick_;
    QDateTime start_;
    std::mutex startLock_;
};

// The process's clock; the system clock unless a test installed another.
ZClock& clock();
// Installs c (nullptr restores the system clock). The caller keeps c alive.
void setClock(ZClock* c);

} // namespace Platform

ULONGLONG GetTickCount64();
void Sleep(DWORD ms);
