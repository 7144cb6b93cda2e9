#include "platform/win32_time.h"

#include <ctime>

void GetLocalTime(SYSTEMTIME* st)
{
    if (!st)
        return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    st->wYear = WORD(local.tm_year + 1900);
    st->wMonth = WORD(local.tm_mon + 1);
    st->wDayOfWeek = WORD(local.tm_wday);
    st->wDay = WORD(local.tm_mday);
    st->wHour = WORD(local.tm_hour);
    st->wMinute = WORD(local.tm_min);
    st->wSecond = WORD(local.tm_sec);
    st->wMilliseconds = WORD(ts.tv_nsec / 1000000);
}
