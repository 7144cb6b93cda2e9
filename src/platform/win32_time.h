// Local wall-clock time (localtime_r).
#pragma once

#include "platform/win32_types.h"

void GetLocalTime(SYSTEMTIME* time);
