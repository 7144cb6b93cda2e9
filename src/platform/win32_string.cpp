#include "platform/win32_string.h"

#include <cstdarg>
#include <string>

namespace {

constexpr int kWsprintfBufferChars = 1024;
constexpr char32_t kReplacementCharacter = 0xFFFD;

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

int utf8Length(char32_t cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

void putUtf8(char32_t cp, char* out)
{
    switch (utf8Length(cp)) {
    case 1:
        out[0] = char(cp);
        break;
    case 2:
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        break;
    case 3:
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        break;
    default:
        out[0] = char(0xF0 | (cp >> 18));
        out[1] = char(0x80 | ((cp >> 12) & 0x3F));
        out[2] = char(0x80 | ((cp >> 6) & 0x3F));
        out[3] = char(0x80 | (cp & 0x3F));
        break;
    }
}

} // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wideCharStr, int cchWideChar,
                        LPSTR multiByteStr, int cbMultiByte, LPCSTR, BOOL* usedDefaultChar)
{
    if (usedDefaultChar)
        *usedDefaultChar = FALSE;
    if (codePage != CP_UTF8 || !wideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0
        || (cbMultiByte > 0 && !multiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t units = 0;
    if (cchWideChar == -1) {
        while (wideCharStr[units])
            ++units;
        ++units; // the terminating NUL is converted too
    } else {
        units = size_t(cchWideChar);
    }
    long long written = 0;
    for (size_t i = 0; i < units; ++i) {
        char32_t cp = wideCharStr[i];
        if (isHighSurrogate(char16_t(cp)) && i + 1 < units && isLowSurrogate(wideCharStr[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(wideCharStr[i + 1]) - 0xDC00);
            ++i;
        } else if (isHighSurrogate(char16_t(cp)) || isLowSurrogate(char16_t(cp))) {
            cp = kReplacementCharacter;
        }
        const int n = utf8Length(cp);
        if (cbMultiByte > 0) {
            if (written + n > cbMultiByte) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            putUtf8(cp, multiByteStr + written);
        }
        written += n;
        if (written > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return int(written);
}

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...)
{
    std::u16string out;
    va_list args;
    va_start(args, format);
    for (const WCHAR* p = format; p && *p; ++p) {
        if (*p != u'%' || !p[1]) {
            out += *p;
            continue;
        }
        ++p;
        switch (*p) {
        case u'c':
            out += char16_t(va_arg(args, int));
            break;
        case u's': {
            const WCHAR* s = va_arg(args, const WCHAR*);
            for (; s && *s; ++s)
                out += *s;
            break;
        }
        case u'd':
            for (char c : std::to_string(va_arg(args, int)))
                out += char16_t(c);
            break;
        case u'u':
            for (char c : std::to_string(va_arg(args, unsigned int)))
                out += char16_t(c);
            break;
        default:
            out += *p;
            break;
        }
    }
    va_end(args);
    if (out.size() >= size_t(kWsprintfBufferChars))
        out.resize(kWsprintfBufferChars - 1);
    std::copy(out.begin(), out.end(), buffer);
    buffer[out.size()] = 0;
    return int(out.size());
}
