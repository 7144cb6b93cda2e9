#include "devices/raw/ZNtfsImageSource.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// Large reads of an image file are copied out of a read-only mapping, which
// costs a fraction of pread's copy; small reads, reads past the mapping and
// block devices use pread.
constexpr size_t kMappedReadMinimum = 64u << 10;

class FileImage : public ZNtfsImageSource {
public:
    FileImage(int fd, bool blockDevice) : fd_(fd), blockDevice_(blockDevice)
    {
        const ULONGLONG length = blockDevice ? 0 : size();
        if (length && length <= ULONGLONG(std::numeric_limits<size_t>::max())) {
            void* map = ::mmap(nullptr, size_t(length), PROT_READ, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                map_ = static_cast<const BYTE*>(map);
                mapLength_ = size_t(length);
            }
        }
    }
    ~FileImage() override
    {
        if (map_)
            ::munmap(const_cast<BYTE*>(map_), mapLength_);
        ::close(fd_);
    }

    bool readAt(ULONGLONG offset, void* buffer, size_t size) override
    {
        // The file may have shrunk since it was mapped: only bytes it still
        // holds are read from the mapping.
        if (map_ && size >= kMappedReadMinimum && offset <= mapLength_ && size <= mapLength_ - offset
            && offset + size <= this->size()) {
            std::memcpy(buffer, map_ + offset, size);
            return true;
        }
        BYTE* out = static_cast<BYTE*>(buffer);
        while (size) {
            if (offset > ULONGLONG(std::numeric_limits<off_t>::max()))
                return false;
            const ssize_t n = ::pread(fd_, out, size, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            out += n;
            offset += ULONGLONG(n);
            size -= size_t(n);
        }
        return true;
    }

    ULONGLONG size() override
    {
        if (blockDevice_) {
            unsigned long long bytes = 0;
            return ::ioctl(fd_, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
        }
        struct stat st;
        return ::fstat(fd_, &st) == 0 && st.st_size > 0 ? ULONGLONG(st.st_size) : 0;
    }

private:
    int fd_;
    bool blockDevice_;
    const BYTE* map_ = nullptr;
    size_t mapLength_ = 0;
};

bool inside(ULONGLONG offset, size_t size, ULONGLONG total)
{
    return offset <= total && size <= total - offset;
}

} // namespace

std::unique_ptr<ZNtfsImageSource> openNtfsImageFile(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("neither an image file nor a block device");
        return nullptr;
    }
    return std::unique_ptr<ZNtfsImageSource>(new FileImage(fd, S_ISBLK(st.st_mode)));
}

bool ZNtfsMemoryImage::readAt(ULONGLONG offset, void* buffer, size_t size)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!inside(offset, size, bytes_.size()))
        return false;
    std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
}

ULONGLONG ZNtfsMemoryImage::size()
{
    std::lock_guard<std::mutex> g(lock_);
    return bytes_.size();
}

void ZNtfsMemoryImage::write(ULONGLONG offset, const void* data, size_t size)
{
    std::lock_guard<std::mutex> g(lock_);
    if (offset + size > bytes_.size())
        bytes_.resize(offset + size);
    std::memcpy(bytes_.data() + offset, data, size);
}

bool ZNtfsImageWindow::readAt(ULONGLONG offset, void* buffer, size_t size)
{
    if (!inside(offset, size, length_))
        return false;
    return inner_->readAt(offset_ + offset, buffer, size);
}

ULONGLONG ZNtfsImageWindow::size()
{
    const ULONGLONG inner = inner_->size();
    if (inner <= offset_)
        return 0;
    return inner - offset_ < length_ ? inner - offset_ : length_;
}

} // namespace Platform
