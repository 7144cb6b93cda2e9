// Registry reads over INI hives. HKEY_CURRENT_USER is
// $XDG_CONFIG_HOME/orvanta/registry.ini (default ~/.config), HKEY_LOCAL_MACHINE
// is orvanta/registry.ini under the first folder of $XDG_CONFIG_DIRS (default
// /etc/xdg). A key path is an INI group, lower-cased, with '/' for '\';
// value names match without regard to case. A hive file that is missing,
// unreadable or malformed is an empty hive.
//
// Value types as stored in the INI text:
//   decimal 0..4294967295        REG_DWORD  (what QSettings writes for an int)
//   dword:<hex>                  REG_DWORD
//   hex:<byte>,<byte>,...        REG_BINARY (as in .reg files)
//   anything else                REG_SZ, UTF-16 with its terminating NUL
#pragma once

#include "win32/win32_types.h"

#include <QString>

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

enum : REGSAM {
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_NOTIFY = 0x0010,
    KEY_WOW64_64KEY = 0x0100,
    KEY_WOW64_32KEY = 0x0200,
    KEY_READ = 0x20019,
};

enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
};

// Opens subKey under key (a hive or an open key). ERROR_FILE_NOT_FOUND when
// the hive holds no value under that path. Registry views (KEY_WOW64_*) are
// one view here.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);
// Windows contract: data null gives the size in *dataSize; a buffer smaller
// than the value gives ERROR_MORE_DATA and the size needed.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                         BYTE* data, LPDWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

namespace Platform {
// The INI file that stands for a hive (HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE); empty for any other key.
QString registryHivePath(HKEY hive);
// The INI group of a registry key path: lower-cased, '\' as '/'.
QString registryGroup(const QString& keyPath);
} // namespace Platform
