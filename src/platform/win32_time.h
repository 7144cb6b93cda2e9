// Local wall-clock time (localtime_r).
#pragma once

#include "win32/win32_types.h"

void GetLocalTime(SYSTEMTIME* time);
