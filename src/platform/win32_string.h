// Win32 string conversion and formatting used by the service.
#pragma once

#include "win32/win32_types.h"

enum : UINT {
    CP_ACP = 0,
    CP_UTF8 = 65001,
};

// UTF-16 -> code page (CP_UTF8 only). cchWideChar -1 converts up to and with
// the terminating NUL. Returns the bytes written, or the bytes needed when
// cbMultiByte is 0; 0 with ERROR_INSUFFICIENT_BUFFER when the result does
// not fit. Unpaired surrogates become U+FFFD, as Windows does.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int cchWideChar,
                        LPSTR multiByteStr, int cbMultiByte, LPCSTR defaultChar, BOOL* usedDefaultChar);

// wsprintfW with the conversions %c (a WCHAR), %s (a WCHAR string), %d, %u
// and %%. The buffer is taken to hold 1024 characters, as Windows does.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
