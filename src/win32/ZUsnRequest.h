// Requests of FSCTL_ENUM_USN_DATA and FSCTL_READ_USN_JOURNAL come in a
// version-1 form or the shorter version-0 form; devices read both the same way.
#pragma once

#include "win32/win32_types.h"

#include <algorithm>
#include <cstring>

namespace Platform {

// The only record version the devices write.
constexpr WORD kUsnRecordMajorVersion = 2;

// Reads a request into its version-1 structure (a version-0 request leaves
// the version fields 0). False when the input is shorter than version 0, or
// a version-1 request admits no version-2 records.
template <typename V1, typename V0>
bool readUsnRequest(const void* in, DWORD inSize, V1& request)
{
    static_assert(sizeof(V0) < sizeof(V1), "version 1 extends version 0");
    if (!in || inSize < sizeof(V0))
        return false;
    std::memset(&request, 0, sizeof request);
    std::memcpy(&request, in, std::min<size_t>(inSize, sizeof request));
    return inSize < sizeof(V1)
           || (request.MinMajorVersion <= kUsnRecordMajorVersion && request.MaxMajorVersion >= kUsnRecordMajorVersion);
}

} // namespace Platform
