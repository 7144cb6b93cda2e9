// The Win32 subset the service uses, on POSIX.
#pragma once

#include "platform/win32_types.h"
#include "platform/win32_ioctl.h"
#include "platform/win32_file.h"
#include "platform/ZClock.h"
#include "platform/win32_string.h"
