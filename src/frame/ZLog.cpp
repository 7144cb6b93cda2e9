// Placeholder logger: formats nothing, writes nothing. Replaced by the real logger.
#include "frame/ZLog.h"

bool logInit() { return true; }
int32_t logThreshold() { return LOG_INFO; }

LogMessage::LogMessage(const char*, int, LogSeverity severity) : severity_(severity), savedError_(GetLastError()) {}
LogMessage::~LogMessage() { SetLastError(savedError_); }
LogMessage& LogMessage::operator<<(const char*) { return *this; }
LogMessage& LogMessage::operator<<(const char16_t*) { return *this; }
LogMessage& LogMessage::operator<<(const std::u16string&) { return *this; }
LogMessage& LogMessage::operator<<(const QString&) { return *this; }
LogMessage& LogMessage::operator<<(char) { return *this; }
LogMessage& LogMessage::operator<<(bool) { return *this; }
LogMessage& LogMessage::operator<<(short) { return *this; }
LogMessage& LogMessage::operator<<(unsigned short) { return *this; }
LogMessage& LogMessage::operator<<(int) { return *this; }
LogMessage& LogMessage::operator<<(unsigned int) { return *this; }
LogMessage& LogMessage::operator<<(long) { return *this; }
LogMessage& LogMessage::operator<<(unsigned long) { return *this; }
LogMessage& LogMessage::operator<<(long long) { return *this; }
LogMessage& LogMessage::operator<<(unsigned long long) { return *this; }
LogMessage& LogMessage::operator<<(double) { return *this; }
