// A growable array kept in fixed-size chunks: elements never move once made,
// so references stay valid while it grows, and growing never copies (no
// moment with the old and the new block both held). A chunk's elements are
// made as they are appended, so the unused end of the last chunk is never
// written and costs no resident memory.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace Platform {

template <typename T, size_t ChunkBits = 16>
class ZChunkedArray {
public:
    static constexpr size_t kChunkSize = size_t(1) << ChunkBits;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    T& operator[](size_t i) { return elementAt(i); }
    const T& operator[](size_t i) const { return const_cast<ZChunkedArray*>(this)->elementAt(i); }

    // Appends a default-constructed element and returns it.
    T& emplace_back()
    {
        static_assert(std::is_trivially_destructible<T>::value, "elements are dropped with their chunk");
        if (size_ == chunks_.size() * kChunkSize)
            chunks_.push_back(std::unique_ptr<Chunk>(new Chunk));   // storage only: nothing written yet
        return *new (&elementAt(size_++)) T();
    }

    // Grows to n elements, the new ones default-constructed (never shrinks).
    void resize(size_t n)
    {
        while (size_ < n)
            emplace_back();
    }

private:
    struct Chunk {
        alignas(T) unsigned char bytes[sizeof(T) * kChunkSize];
    };

    T& elementAt(size_t i)
    {
        return std::launder(reinterpret_cast<T*>(chunks_[i >> ChunkBits]->bytes))[i & (kChunkSize - 1)];
    }

    std::vector<std::unique_ptr<Chunk>> chunks_;
    size_t size_ = 0;
};

} // namespace Platform
