// The last error of the calling thread, as every call of the layer sets it.
#include "win32/win32_types.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
} // namespace

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}
