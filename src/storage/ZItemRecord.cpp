#include "storage/ZItemRecord.h"

namespace SearchEngine {

namespace {
constexpr unsigned kMaskBits = 31;

template <typename Unit>
ULONGLONG signatureOf(const Unit* c, int n)
{
    DWORD low = 0;
    DWORD high = 0;
    for (int i = 0; i < n; ++i) {
        low |= DWORD(1) << (unsigned(c[i]) & kMaskBits);
        if (i > 0)
            high |= DWORD(1) << ((unsigned(c[i - 1]) ^ (unsigned(c[i]) + 1)) & kMaskBits);
    }
    return (ULONGLONG(high) << 32) | low;
}
} // namespace

ULONGLONG nameSignatureOf(const WCHAR* name, int length)
{
    return signatureOf(name, length);
}

ULONGLONG nameSignatureOf(const unsigned short* name, int length)
{
    return signatureOf(name, length);
}

} // namespace SearchEngine
