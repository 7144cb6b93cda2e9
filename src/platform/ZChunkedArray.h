// A growable array kept in fixed-size chunks: elements never move once made,
// so references stay valid while it grows, and growing never copies (no
// moment with the old and the new block both held).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace Platform {

template <typename T, size_t ChunkBits = 16>
class ZChunkedArray {
public:
    static constexpr size_t kChunkSize = size_t(1) << ChunkBits;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    T& operator[](size_t i) { return chunks_[i >> ChunkBits][i & (kChunkSize - 1)]; }
    const T& operator[](size_t i) const { return chunks_[i >> ChunkBits][i & (kChunkSize - 1)]; }

    // Appends a default-constructed element and returns it.
    T& emplace_back()
    {
        if (size_ == chunks_.size() * kChunkSize)
            chunks_.push_back(std::make_unique<T[]>(kChunkSize));
        T& t = (*this)[size_++];
        t = T();
        return t;
    }

    // Grows to n elements, the new ones default-constructed (never shrinks).
    void resize(size_t n)
    {
        while (size_ < n)
            emplace_back();
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

} // namespace Platform
