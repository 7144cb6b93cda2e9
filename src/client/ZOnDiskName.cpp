#include "client/ZOnDiskName.h"

#include <dirent.h>

#include <cstring>

namespace SearchEngine {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD in UTF-8
constexpr int kReplacementLength = 3;

// Length of the valid UTF-8 sequence at p (no overlong forms, surrogates or
// code points past U+10FFFF), 0 when it is not one.
int validSequence(const unsigned char* p, int left)
{
    const unsigned char c = p[0];
    int n;
    unsigned cp;
    unsigned min;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2; cp = c & 0x1F; min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3; cp = c & 0x0F; min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4; cp = c & 0x07; min = 0x10000;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

bool mayBeLossy(const QByteArray& storedName)
{
    return storedName.contains(kReplacement);
}

bool lossyEquals(const QByteArray& diskName, const QByteArray& storedName)
{
    const auto* d = reinterpret_cast<const unsigned char*>(diskName.constData());
    const int dn = diskName.size();
    const char* s = storedName.constData();
    const int sn = storedName.size();
    int i = 0, j = 0;
    while (i < dn) {
        const int n = validSequence(d + i, dn - i);
        if (n == 0) {
            if (j + kReplacementLength > sn || std::memcmp(s + j, kReplacement, kReplacementLength) != 0)
                return false;
            ++i;
            j += kReplacementLength;
        } else {
            if (j + n > sn || std::memcmp(s + j, d + i, size_t(n)) != 0)
                return false;
            i += n;
            j += n;
        }
    }
    return j == sn;
}

bool findOnDisk(const QByteArray& folder, const QByteArray& storedName, QByteArray* diskName)
{
    DIR* dir = ::opendir(folder.isEmpty() ? "/" : folder.constData());
    if (!dir)
        return false;
    // Several entries may read as the stored name ("a\xff", "a\xfe" and
    // "a\xEF\xBF\xBD" all read as "a\uFFFD"): which of them the record
    // stands for is not known, and taking the first would let anyone who may
    // add a name beside a folder have its contents checked and shown under
    // a folder of their own. Such a name is not found.
    int found = 0;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (lossyEquals(name, storedName) && ++found == 1)
            *diskName = name;
    }
    ::closedir(dir);
    if (found != 1)
        diskName->clear();
    return found == 1;
}

} // namespace SearchEngine
