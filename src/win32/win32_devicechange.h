// Window messages and the WM_DEVICECHANGE broadcast header (winuser.h,
// dbt.h). None arrive on Linux; the service's native event filter reads them
// and tests build them by hand.
#pragma once

#include "win32/win32_types.h"

#include <cstdint>

typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR is 12 bytes");

enum : UINT {
    WM_DEVICECHANGE = 0x0219,
};

// wParam of WM_DEVICECHANGE.
enum : WPARAM {
    DBT_DEVNODES_CHANGED = 0x0007,
    DBT_DEVICEARRIVAL = 0x8000,
    DBT_DEVICEQUERYREMOVE = 0x8001,
    DBT_DEVICEQUERYREMOVEFAILED = 0x8002,
    DBT_DEVICEREMOVEPENDING = 0x8003,
    DBT_DEVICEREMOVECOMPLETE = 0x8004,
    DBT_CUSTOMEVENT = 0x8006,
};

// dbch_devicetype.
enum : DWORD {
    DBT_DEVTYP_OEM = 0,
    DBT_DEVTYP_VOLUME = 2,
    DBT_DEVTYP_PORT = 3,
    DBT_DEVTYP_DEVICEINTERFACE = 5,
    DBT_DEVTYP_HANDLE = 6,
};
