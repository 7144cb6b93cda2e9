// The object behind every HANDLE of the platform layer: CloseHandle deletes
// it, whatever kind of handle it is (file, volume, mutex, thread).
#pragma once

namespace Platform {

struct HandleObject {
    virtual ~HandleObject() = default;
};

} // namespace Platform
