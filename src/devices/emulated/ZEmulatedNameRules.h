// The rules an NTFS volume applies to names: what a valid name is, which
// names are 8.3 (DOS) names or fit the Win32 name space, how names compare
// without regard to case, and how a DOS name is made for a long name.
#pragma once

#include "win32/win32_types.h"

#include <functional>
#include <string>

namespace Platform {

class ZEmulatedNameRules {
public:
    static constexpr DWORD kMaxNameLength = 255;

    // The unit as the volume's upper-case table maps it.
    static char16_t foldUnit(char16_t c);
    static bool equalFolded(const char16_t* a, size_t an, const char16_t* b, size_t bn);
    // A hash of (parent, name without regard to case).
    static ULONGLONG nameKey(DWORD parent, const char16_t* name, size_t length);

    // A valid upper-case 8.3 name: it serves as Win32 and DOS name at once.
    static bool isShortName(const std::u16string& name);
    // No unit Win32 forbids, no trailing dot or space (name not empty).
    static bool isWin32Name(const std::u16string& name);
    // Not empty, at most kMaxNameLength units, not "." or "..", no NUL or '/'.
    static bool validName(const std::u16string& name);

    // The first BASE~N.EXT made from name that taken() refuses; empty when
    // every candidate is taken.
    static std::u16string generateDosName(const std::u16string& name,
                                          const std::function<bool(const std::u16string&)>& taken);

private:
    static bool isShortNameChar(char16_t c);
    static bool isWin32NameChar(char16_t c);
};

} // namespace Platform
