// The bytes behind a raw NTFS volume: an image file, a block device, or (for
// tests and the fuzzer) a block of memory.
#pragma once

#include "win32/win32_types.h"

#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace Platform {

class ZNtfsImageSource {
public:
    virtual ~ZNtfsImageSource() = default;
    // Reads exactly size bytes at offset; false on a short read or an error.
    virtual bool readAt(ULONGLONG offset, void* buffer, size_t size) = 0;
    // The current size in bytes.
    virtual ULONGLONG size() = 0;
};

// Opens a file or block device read-only. Null with *error set on failure
// (the reason only: the caller names the path).
std::unique_ptr<ZNtfsImageSource> openNtfsImageFile(const QString& path, QString* error);

// A copy of the given bytes; tests may change or extend them while a volume
// reads them.
class ZNtfsMemoryImage : public ZNtfsImageSource {
public:
    explicit ZNtfsMemoryImage(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
    bool readAt(ULONGLONG offset, void* buffer, size_t size) override;
    ULONGLONG size() override;
    void write(ULONGLONG offset, const void* data, size_t size);

private:
    std::mutex lock_;
    std::vector<BYTE> bytes_;
};

// A window [offset, offset + length) of another source: one partition.
class ZNtfsImageWindow : public ZNtfsImageSource {
public:
    ZNtfsImageWindow(std::unique_ptr<ZNtfsImageSource> inner, ULONGLONG offset, ULONGLONG length)
        : inner_(std::move(inner)), offset_(offset), length_(length) {}
    bool readAt(ULONGLONG offset, void* buffer, size_t size) override;
    ULONGLONG size() override;

private:
    std::unique_ptr<ZNtfsImageSource> inner_;
    ULONGLONG offset_;
    ULONGLONG length_;
};

} // namespace Platform
