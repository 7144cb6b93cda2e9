// Reads back what a QDataStream wrote (its big-endian integers and raw
// runs) from a device, a large chunk at a time: a pool of a million items is
// a million small reads, which through QDataStream cost more than the copy.
// Every length is checked against the bytes at hand before they are used.
#pragma once

#include <QIODevice>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace SearchEngine {

class ZSavedBytesReader {
public:
    // The largest single read asked for; more is refused.
    static constexpr size_t kChunkBytes = size_t(1) << 20;

    explicit ZSavedBytesReader(QIODevice* device) : device_(device), buffer_(kChunkBytes) {}

    // The next `bytes` bytes, valid until the next call; null when the
    // device has fewer (or the read failed).
    const char* take(size_t bytes)
    {
        if (bytes > kChunkBytes || (end_ - at_ < bytes && !fill(bytes)))
            return nullptr;
        const char* p = buffer_.data() + at_;
        at_ += bytes;
        return p;
    }

    bool readInt32(qint32& value)
    {
        const char* p = take(sizeof value);
        if (!p)
            return false;
        value = qFromBigEndian<qint32>(p);
        return true;
    }

    // True when every byte of the device was taken.
    bool atEnd() { return at_ == end_ && !fill(1); }

private:
    // Keeps the bytes not yet taken and reads until `bytes` are at hand.
    bool fill(size_t bytes)
    {
        const size_t kept = end_ - at_;
        std::memmove(buffer_.data(), buffer_.data() + at_, kept);
        at_ = 0;
        end_ = kept;
        while (end_ < bytes) {
            const qint64 n = device_->read(buffer_.data() + end_, qint64(buffer_.size() - end_));
            if (n <= 0)
                return false;
            end_ += size_t(n);
        }
        return true;
    }

    QIODevice* device_;
    std::vector<char> buffer_;
    size_t at_ = 0;
    size_t end_ = 0;
};

} // namespace SearchEngine
