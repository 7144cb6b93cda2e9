// Update sequence arrays ("fixups") of multi-sector NTFS structures: FILE
// records and INDX blocks. The last two bytes of every 512-byte stride hold
// the update sequence number on disk; the real bytes sit in the array.
#pragma once

#include "win32/win32_types.h"

#include <cstddef>

namespace Platform {

constexpr DWORD kNtfsFixupStride = 512;

// Checks the header of a multi-sector structure of `size` bytes whose first
// four bytes must be `signature`, verifies that every stride ends in the
// update sequence number and puts the saved bytes back. False (buffer left
// partly restored) when the header is malformed or any stride mismatches: a
// torn or corrupt structure.
bool applyNtfsFixups(BYTE* data, size_t size, DWORD signature);

} // namespace Platform
