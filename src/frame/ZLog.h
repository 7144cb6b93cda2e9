// LOG(severity) << a << b ...; one line per statement in the log file
// "log/<exe>.<module>.log" beside the executable, shared by every thread of
// the process and every process writing the same file. The folder, the log
// and its lock file "<log>.lock" are private to the user writing them.
#pragma once

#include "win32/win32_types.h"

#include <QString>

#include <string>

enum LogSeverity : int32_t {
    LOG_DEBUG = 0,
    LOG_INFO = 1,
    LOG_WARNING = 2,
    LOG_ERROR = 3,
    LOG_FATAL = 4,
};

// Makes sure the log file is open; a failure is tried again by the next
// statement. Leaves GetLastError() as it found it.
bool logInit();
// Statements below this severity are dropped (from the registry value
// "LogLevel", read at initialisation; INFO until then).
int32_t logThreshold();

// "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"; "UNKNOWN" for other values.
const char* logSeverityName(int32_t severity);
// The line prefix: "[" thread id "|" date and time "|" severity "|" file ":"
// line "] ", the file cut after its last '\' or '/'.
std::u16string logLinePrefix(DWORD threadId, const SYSTEMTIME& time, int32_t severity,
                             const char* file, int line);

// The text of one statement, in UTF-16.
class LogStream {
public:
    LogStream& operator<<(const char* s);           // UTF-8 (ASCII in practice)
    LogStream& operator<<(const std::string& s);    // UTF-8
    LogStream& operator<<(const char16_t* s);
    LogStream& operator<<(const std::u16string& s);
    LogStream& operator<<(const QString& s);        // as QDebug writes it: quoted, then a space
    LogStream& operator<<(char c);                  // a character
    LogStream& operator<<(char16_t c);              // a character
    LogStream& operator<<(bool v);                  // 1 or 0
    LogStream& operator<<(signed char v);           // integers in decimal
    LogStream& operator<<(unsigned char v);
    LogStream& operator<<(short v);
    LogStream& operator<<(unsigned short v);
    LogStream& operator<<(int v);
    LogStream& operator<<(unsigned int v);
    LogStream& operator<<(long v);
    LogStream& operator<<(unsigned long v);
    LogStream& operator<<(long long v);
    LogStream& operator<<(unsigned long long v);
    LogStream& operator<<(float v);
    LogStream& operator<<(double v);
    LogStream& operator<<(const void* p);           // 0x and hexadecimal

    const std::u16string& text() const { return text_; }

protected:
    std::u16string text_;
};

// One statement: the prefix at construction, the line written when it ends.
class LogMessage : public LogStream {
public:
    LogMessage(const char* file, int line, LogSeverity severity);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    LogStream& stream() { return *this; }

private:
    LogSeverity severity_;
    DWORD savedError_;
};

// Operands are evaluated only when the statement is written.
#define LOG(severity)                                                   \
    if (!(logInit() && logThreshold() <= LOG_##severity))               \
        ;                                                               \
    else                                                                \
        LogMessage(__FILE__, __LINE__, LOG_##severity).stream()
