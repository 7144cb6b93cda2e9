#include "devices/live/ZLiveNameCodec.h"

namespace Platform {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;     // escaped byte b is kEscapeBase + b
constexpr char16_t kEscapeFirst = 0xDC80;
constexpr char16_t kEscapeLast = 0xDCFF;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at p (at most `left` bytes), and its
// code point; 0 when the bytes there are not a valid sequence.
size_t decodeOne(const unsigned char* p, size_t left, char32_t& cp)
{
    const unsigned char c = p[0];
    size_t n;
    char32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2; min = 0x80; cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3; min = 0x800; cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4; min = 0x10000; cp = c & 0x07;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if (!continuation(p[i]))
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::u16string liveNameToUtf16(const char* bytes, size_t length)
{
    std::u16string out;
    out.reserve(length);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < length) {
        char32_t cp = 0;
        const size_t n = decodeOne(p + i, length - i, cp);
        if (n == 0) {
            out.push_back(char16_t(kEscapeBase + p[i]));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += n;
    }
    return out;
}

std::string liveNameFromUtf16(const std::u16string& name)
{
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t u = name[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((char32_t(u - 0xD800) << 10) | char32_t(name[i + 1] - 0xDC00)));
            ++i;
        } else if (u >= kEscapeFirst && u <= kEscapeLast) {
            out.push_back(char(u - kEscapeBase));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            // A lone surrogate no Linux name produced: written as U+FFFD.
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

} // namespace Platform
