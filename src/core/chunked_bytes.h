// A growing byte string kept in fixed-size chunks.
//
// Appending is amortised constant time per byte and never moves bytes already
// stored, so memory stays close to the bytes held (at most one partly used
// chunk more) and no append ever needs room for two copies of the whole
// string, as a doubling buffer does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace km40r {

class ChunkedBytes {
public:
    static constexpr unsigned kChunkBits = 18; // 256 KiB
    static constexpr std::uint64_t kChunkSize = std::uint64_t{1} << kChunkBits;

    void append(std::string_view bytes);
    void clear();

    std::uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    unsigned char at(std::uint64_t pos) const {
        return static_cast<unsigned char>(chunks_[pos >> kChunkBits][pos & (kChunkSize - 1)]);
    }

    // Appends bytes [from, from + count) to out.
    void copyTo(std::uint64_t from, std::uint64_t count, std::string& out) const;

    // Calls f(const char* data, std::size_t length, std::uint64_t offset) for
    // each contiguous piece of [from, to), in order; stops when f returns false.
    template <class F>
    void forEachPiece(std::uint64_t from, std::uint64_t to, F&& f) const {
        while (from < to) {
            const std::uint64_t inChunk = from & (kChunkSize - 1);
            const std::uint64_t n = std::min(to - from, kChunkSize - inChunk);
            if (!f(chunks_[from >> kChunkBits].get() + inChunk, static_cast<std::size_t>(n), from))
                return;
            from += n;
        }
    }

    // Bytes allocated for the content.
    std::uint64_t memoryBytes() const {
        return chunks_.size() * kChunkSize + chunks_.capacity() * sizeof(chunks_[0]);
    }

private:
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::uint64_t size_ = 0;
};

} // namespace km40r
