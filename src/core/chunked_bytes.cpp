#include "core/chunked_bytes.h"

#include <cstring>

namespace km40r {

void ChunkedBytes::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::uint64_t inChunk = size_ & (kChunkSize - 1);
        if (inChunk == 0 && (size_ >> kChunkBits) == chunks_.size())
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunkSize));
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), kChunkSize - inChunk));
        std::memcpy(chunks_[size_ >> kChunkBits].get() + inChunk, bytes.data(), n);
        size_ += n;
        bytes.remove_prefix(n);
    }
}

void ChunkedBytes::clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
    size_ = 0;
}

void ChunkedBytes::copyTo(std::uint64_t from, std::uint64_t count, std::string& out) const {
    forEachPiece(from, from + count, [&](const char* data, std::size_t n, std::uint64_t) {
        out.append(data, n);
        return true;
    });
}

} // namespace km40r
