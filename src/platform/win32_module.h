// Modules: the executable's path and libraries loaded at run time.
// LoadLibraryW("X.dll") loads libX.so: for a bare or relative name, first from
// the executable's folder (where Windows looks first too), then through the
// normal dlopen search; a full path loads that folder's libX.so only.
#pragma once

#include "win32/win32_types.h"

#include <QString>

#ifndef WINAPI
// Windows' __stdcall; x86-64 Linux has one calling convention.
#define WINAPI
#endif

enum : DWORD {
    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2,
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4,
};

// The file path of module (null: the executable, from /proc/self/exe).
// Returns the length without the NUL; when the buffer is too small, the path
// is cut, NUL-terminated, size is returned and the error is
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
// The module of an address (with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS).
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module);
// An already loaded library by name, or null.
HMODULE GetModuleHandleW(LPCWSTR moduleName);
HMODULE LoadLibraryW(LPCWSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);

namespace Platform {
// "folder\X.dll" -> "folder/libX.so"; names that already end in ".so" stay.
QString sharedLibraryPath(const QString& windowsName);
// The executable's folder without a trailing slash.
QString executableFolder();
} // namespace Platform
