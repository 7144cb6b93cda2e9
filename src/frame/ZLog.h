// LOG(severity) << a << b ...; one line per statement in the log file.
#pragma once

#include "platform/win32_types.h"

#include <QString>

#include <string>

enum LogSeverity : int32_t {
    LOG_DEBUG = 0,
    LOG_INFO = 1,
    LOG_WARNING = 2,
    LOG_ERROR = 3,
    LOG_FATAL = 4,
};

bool logInit();
int32_t logThreshold();

class LogMessage {
public:
    LogMessage(const char* file, int line, LogSeverity severity);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    LogMessage& operator<<(const char* s);
    LogMessage& operator<<(const char16_t* s);
    LogMessage& operator<<(const std::u16string& s);
    LogMessage& operator<<(const QString& s);
    LogMessage& operator<<(char c);
    LogMessage& operator<<(bool v);
    LogMessage& operator<<(short v);
    LogMessage& operator<<(unsigned short v);
    LogMessage& operator<<(int v);
    LogMessage& operator<<(unsigned int v);
    LogMessage& operator<<(long v);
    LogMessage& operator<<(unsigned long v);
    LogMessage& operator<<(long long v);
    LogMessage& operator<<(unsigned long long v);
    LogMessage& operator<<(double v);

    LogMessage& stream() { return *this; }

private:
    LogSeverity severity_;
    DWORD savedError_;
    std::u16string text_;
};

// Operands are evaluated only when the statement is written.
#define LOG(severity)                                                   \
    if (!(logInit() && logThreshold() <= LOG_##severity))               \
        ;                                                               \
    else                                                                \
        LogMessage(__FILE__, __LINE__, LOG_##severity).stream()
