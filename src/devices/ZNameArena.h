// An append-only store of UTF-16 names kept in fixed-size chunks: growing
// never copies what is stored (no moment with an old and a new block both
// held) and leaves no doubled capacity unused. A name never spans two chunks.
//
// A name whose code units all lie below 0x100 (most names: ASCII and Latin-1)
// is kept narrow, one byte a unit; other names keep two bytes a unit, at an
// even offset. The caller keeps the offset, the length and the narrow bit.
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
    static constexpr size_t kChunkBits = 17;
    static constexpr size_t kChunkBytes = size_t(1) << kChunkBits;
    // The longest name append takes, in units.
    static constexpr size_t kMaxUnits = 255;

    struct Name {
        uint32_t offset = 0;             // in bytes
        bool narrow = false;
    };

    // Bytes in use, the unused ends of full chunks included.
    size_t size() const { return size_; }

    static bool fitsNarrow(const char16_t* name, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            if (name[i] > 0xFF)
                return false;
        return true;
    }

    // Stores length units (at most kMaxUnits; more are cut) in the narrow
    // form when they fit it.
    Name append(const char16_t* name, size_t length)
    {
        if (length > kMaxUnits)
            length = kMaxUnits;
        Name n;
        n.narrow = fitsNarrow(name, length);
        const size_t bytes = n.narrow ? length : length * sizeof(char16_t);
        Byte* at = reserve(bytes, n.narrow ? 1 : alignof(char16_t), n.offset);
        if (n.narrow) {
            for (size_t i = 0; i < length; ++i)
                at[i] = Byte(name[i]);
        } else if (bytes) {
            std::memcpy(at, name, bytes);
        }
        return n;
    }

    // The length units of the name at n: a pointer into the store for a wide
    // name, the units widened into scratch (kMaxUnits long) for a narrow one.
    // An offset past the end reads as length zero units from scratch.
    const char16_t* units(Name n, size_t length, char16_t* scratch) const
    {
        if (length > kMaxUnits)
            length = kMaxUnits;
        if ((n.offset >> kChunkBits) >= chunks_.size()) {
            std::memset(scratch, 0, length * sizeof(char16_t));
            return scratch;
        }
        const Byte* at = chunks_[n.offset >> kChunkBits].get() + (n.offset & (kChunkBytes - 1));
        if (!n.narrow)
            return reinterpret_cast<const char16_t*>(at);
        for (size_t i = 0; i < length; ++i)
            scratch[i] = char16_t(at[i]);
        return scratch;
    }

    void swap(ZNameArena& other)
    {
        chunks_.swap(other.chunks_);
        std::swap(size_, other.size_);
    }

private:
    using Byte = unsigned char;

    // Room for bytes at the given alignment, in one chunk.
    Byte* reserve(size_t bytes, size_t alignment, uint32_t& offset)
    {
        size_t at = (size_ + alignment - 1) & ~(alignment - 1);
        const size_t inChunk = at & (kChunkBytes - 1);
        if (at >= chunks_.size() * kChunkBytes || (inChunk && inChunk + bytes > kChunkBytes)) {
            at = chunks_.size() * kChunkBytes;   // the rest of a chunk too small for the name stays unused
            // 16-bit units need 2-byte alignment: chunks come from operator new[] (suitably aligned).
            chunks_.push_back(std::unique_ptr<Byte[]>(new Byte[kChunkBytes]));
        }
        offset = uint32_t(at);
        size_ = at + bytes;
        return chunks_[at >> kChunkBits].get() + (at & (kChunkBytes - 1));
    }

    std::vector<std::unique_ptr<Byte[]>> chunks_;
    size_t size_ = 0;
};

} // namespace Platform
