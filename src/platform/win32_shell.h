// Shell folders and path helpers.
// SHGetFolderPathA answers the XDG folders: CSIDL_LOCAL_APPDATA is
// $XDG_DATA_HOME (default ~/.local/share), CSIDL_APPDATA is $XDG_CONFIG_HOME
// (default ~/.config), CSIDL_PROFILE is $HOME; other folders fail. The bytes
// are UTF-8, the ANSI code page of this platform.
// The Path* helpers treat '\' and '/' alike as separators.
#pragma once

#include "win32/win32_types.h"

enum : int {
    CSIDL_APPDATA = 26,
    CSIDL_LOCAL_APPDATA = 28,
    CSIDL_PROFILE = 40,
    CSIDL_FOLDER_MASK = 0xFF,
    CSIDL_FLAG_CREATE = 0x8000,
};

enum : DWORD {
    SHGFP_TYPE_CURRENT = 0,
    SHGFP_TYPE_DEFAULT = 1,
};

// path receives MAX_PATH bytes at most, NUL included, without a trailing
// separator. E_FAIL for an unknown folder or one whose path does not fit;
// with CSIDL_FLAG_CREATE the folder is made when missing.
HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

// Removes the last element and its separator ("a\b" -> "a", "\a" -> "\").
// TRUE when something was removed.
BOOL PathRemoveFileSpecW(LPWSTR path);
// Appends more to path (a MAX_PATH buffer) with one separator between them.
// FALSE when the result would not fit.
BOOL PathAppendW(LPWSTR path, LPCWSTR more);
// The last element of path (after the last separator).
LPWSTR PathFindFileNameW(LPCWSTR path);
// Removes the extension of the last element, if any.
void PathRemoveExtensionW(LPWSTR path);
