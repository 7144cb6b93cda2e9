// An append-only store of UTF-16 names kept in fixed-size chunks: growing
// never copies what is stored (no moment with an old and a new block both
// held) and leaves no doubled capacity unused. A name never spans two chunks,
// so it is read as one contiguous run from its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace Platform {

class ZNameArena {
public:
    static constexpr size_t kChunkBits = 16;
    static constexpr size_t kChunkUnits = size_t(1) << kChunkBits;

    // Units in use, the unused ends of full chunks included: the offset the
    // next name of a fitting length gets.
    size_t size() const { return size_; }

    // The name stored at offset (an empty run past the end).
    const char16_t* at(uint32_t offset) const
    {
        static const char16_t kNone[1] = {};
        if ((offset >> kChunkBits) >= chunks_.size())
            return kNone;
        return chunks_[offset >> kChunkBits].get() + (offset & (kChunkUnits - 1));
    }

    // Stores length units (at most kChunkUnits) and returns their offset.
    uint32_t append(const char16_t* name, size_t length)
    {
        const size_t inChunk = size_ & (kChunkUnits - 1);
        if (size_ == chunks_.size() * kChunkUnits || (inChunk && inChunk + length > kChunkUnits)) {
            size_ = chunks_.size() * kChunkUnits;   // the rest of a chunk too small for the name stays unused
            chunks_.push_back(std::make_unique<char16_t[]>(kChunkUnits));
        }
        const uint32_t offset = uint32_t(size_);
        if (length)
            std::memcpy(chunks_[size_ >> kChunkBits].get() + (size_ & (kChunkUnits - 1)), name,
                        length * sizeof(char16_t));
        size_ += length;
        return offset;
    }

    void swap(ZNameArena& other)
    {
        chunks_.swap(other.chunks_);
        std::swap(size_, other.size_);
    }

private:
    std::vector<std::unique_ptr<char16_t[]>> chunks_;
    size_t size_ = 0;
};

} // namespace Platform
