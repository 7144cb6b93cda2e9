// What stands behind \\.\X: — the calls the volume code makes on a volume,
// each with the Windows contract (results and GetLastError values).
#pragma once

#include "win32/win32_types.h"

#include <string>

namespace Platform {

struct VolumeInformation {
    std::u16string fileSystemName;  // "NTFS" for an NTFS volume
    std::u16string label;
    DWORD serialNumber = 0;
    DWORD maxComponentLength = 255;
    DWORD fileSystemFlags = 0;
};

class ZVolumeDevice {
public:
    virtual ~ZVolumeDevice() = default;

    // GetVolumeInformationW on X:\ . False (with SetLastError) when the
    // volume cannot answer, e.g. ERROR_NOT_READY.
    virtual bool volumeInformation(VolumeInformation& info) = 0;

    // CreateFileW of \\.\X: . False (with SetLastError) refuses the open.
    virtual bool open(DWORD desiredAccess) { return true; }

    // DeviceIoControl. Returns TRUE or FALSE with SetLastError, as Windows.
    virtual BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize,
                                 void* out, DWORD outSize, DWORD* bytesReturned) = 0;

    // ReadFile at a byte offset of the volume (raw cluster reads).
    virtual BOOL read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead) = 0;

    // CancelIoEx: every call blocked in this device returns at once, failing
    // with ERROR_OPERATION_ABORTED.
    virtual void cancelIo() {}
};

} // namespace Platform
