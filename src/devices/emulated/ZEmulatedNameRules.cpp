#include "devices/emulated/ZEmulatedNameRules.h"

#include <QChar>

#include <algorithm>
#include <string_view>

namespace Platform {

namespace {

constexpr ULONGLONG kFnvOffsetBasis = 1469598103934665603ull;
constexpr ULONGLONG kFnvPrime = 1099511628211ull;
constexpr size_t kDosBaseLength = 8;
constexpr size_t kDosExtensionLength = 3;
constexpr DWORD kDosTailLimit = 1000000;     // BASE~1 .. BASE~999999

} // namespace

char16_t ZEmulatedNameRules::foldUnit(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? char16_t(c - (u'a' - u'A')) : c;
    return char16_t(QChar(c).toUpper().unicode());
}

bool ZEmulatedNameRules::equalFolded(const char16_t* a, size_t an, const char16_t* b, size_t bn)
{
    if (an != bn)
        return false;
    for (size_t i = 0; i < an; ++i)
        if (foldUnit(a[i]) != foldUnit(b[i]))
            return false;
    return true;
}

ULONGLONG ZEmulatedNameRules::nameKey(DWORD parent, const char16_t* name, size_t length)
{
    ULONGLONG h = kFnvOffsetBasis;
    auto mix = [&](ULONGLONG v) {
        h ^= v;
        h *= kFnvPrime;
    };
    mix(parent);
    for (size_t i = 0; i < length; ++i)
        mix(foldUnit(name[i]));
    return h;
}

bool ZEmulatedNameRules::isShortNameChar(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))
        return true;
    return std::u16string_view(u"!#$%&'()-@^_`{}~").find(c) != std::u16string_view::npos;
}

bool ZEmulatedNameRules::isWin32NameChar(char16_t c)
{
    switch (c) {
    case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
    default:
        return c >= 0x20;
    }
}

bool ZEmulatedNameRules::isShortName(const std::u16string& name)
{
    const size_t dot = name.find(u'.');
    const size_t baseLen = dot == std::u16string::npos ? name.size() : dot;
    if (baseLen == 0 || baseLen > kDosBaseLength)
        return false;
    if (dot != std::u16string::npos) {
        const size_t extLen = name.size() - dot - 1;
        if (extLen == 0 || extLen > kDosExtensionLength || name.find(u'.', dot + 1) != std::u16string::npos)
            return false;
    }
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && !isShortNameChar(name[i]))
            return false;
    return true;
}

bool ZEmulatedNameRules::isWin32Name(const std::u16string& name)
{
    if (name.back() == u' ' || name.back() == u'.')
        return false;
    return std::all_of(name.begin(), name.end(), isWin32NameChar);
}

bool ZEmulatedNameRules::validName(const std::u16string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == u"." || name == u"..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char16_t c) { return c == 0 || c == u'/'; });
}

std::u16string ZEmulatedNameRules::generateDosName(const std::u16string& name,
                                                   const std::function<bool(const std::u16string&)>& taken)
{
    const size_t dot = name.rfind(u'.');
    auto clean = [](const std::u16string& part, size_t max) {
        std::u16string out;
        for (char16_t c : part) {
            const char16_t u = foldUnit(c);
            if (isShortNameChar(u) && out.size() < max)
                out.push_back(u);
        }
        return out;
    };
    const bool noExtension = dot == std::u16string::npos || dot == 0;
    std::u16string base = clean(noExtension ? name : name.substr(0, dot), kDosBaseLength);
    const std::u16string ext = noExtension ? std::u16string() : clean(name.substr(dot + 1), kDosExtensionLength);
    if (base.empty())
        base = u"_";
    for (DWORD n = 1; n < kDosTailLimit; ++n) {
        const std::string digits = std::to_string(n);
        const std::u16string tail = u"~" + std::u16string(digits.begin(), digits.end());
        std::u16string candidate = base.substr(0, kDosBaseLength - std::min<size_t>(tail.size(), kDosBaseLength - 1)) + tail;
        if (!ext.empty())
            candidate += u"." + ext;
        if (!taken(candidate))
            return candidate;
    }
    return std::u16string();
}

} // namespace Platform
