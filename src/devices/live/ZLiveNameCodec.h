// Linux file names (bytes) as NTFS names (UTF-16) and back, without loss.
// Valid UTF-8 converts as such; every byte that is not part of a valid UTF-8
// sequence becomes the lone low surrogate U+DC00 + byte (U+DC80..U+DCFF), a
// code unit valid UTF-8 can never produce, so every name converts back to
// exactly its bytes and no two names share a UTF-16 form.
#pragma once

#include <string>

namespace Platform {

std::u16string liveNameToUtf16(const char* bytes, size_t length);
inline std::u16string liveNameToUtf16(const std::string& bytes)
{
    return liveNameToUtf16(bytes.data(), bytes.size());
}
std::string liveNameFromUtf16(const std::u16string& name);

} // namespace Platform
