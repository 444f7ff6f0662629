// The test data the simulated device streams to its peers.
//
// Principles of operation: a PatternGenerator is one endless byte sequence,
// handed out in pieces of any size; the pieces joined are the same sequence
// however they were cut. Each peer gets its own generator, so each sees its
// sequence from the start.
//   text     lines of 61 bytes, numbered from 0:
//            "KM40R 00000000 The quick brown fox jumps over the lazy dog.\r\n"
//            (the number has 8 decimal digits and wraps after 99999999)
//   counter  the bytes 0x00, 0x01, ... 0xFF, 0x00, ...
//   random   pseudo-random bytes (xorshift64*, a fixed seed per generator)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace km40r::sim {

enum class Pattern { Text, Counter, Random };

// The pattern named "text", "counter" or "random".
std::optional<Pattern> ParsePattern(std::string_view name);

// Line `number` of the text pattern, CR LF included.
std::string PatternTextLine(std::uint64_t number);

class PatternGenerator {
public:
    explicit PatternGenerator(Pattern pattern, std::uint64_t seed = 0x9E3779B97F4A7C15ull);

    // The next `count` bytes of the sequence.
    std::string next(std::size_t count);

    // The number of bytes handed out so far.
    std::uint64_t position() const { return position_; }

private:
    Pattern pattern_;
    std::uint64_t position_ = 0;
    std::uint64_t state_;
    std::string line_; // the text line that position_ falls in
};

} // namespace km40r::sim
