// The Win32 subset the service uses, on POSIX.
#pragma once

#include "win32/win32_types.h"
#include "win32/win32_ioctl.h"
#include "platform/win32_file.h"
#include "win32/ZClock.h"
#include "platform/win32_string.h"
#include "platform/win32_registry.h"
#include "platform/win32_sync.h"
#include "platform/win32_module.h"
#include "platform/win32_shell.h"
#include "platform/win32_time.h"
