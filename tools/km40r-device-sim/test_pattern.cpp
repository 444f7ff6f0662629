#include "test_pattern.h"

#include <algorithm>
#include <cstdio>

namespace km40r::sim {

namespace {

constexpr std::size_t kTextLineLength = 61;

} // namespace

std::optional<Pattern> ParsePattern(std::string_view name) {
    if (name == "text")
        return Pattern::Text;
    if (name == "counter")
        return Pattern::Counter;
    if (name == "random")
        return Pattern::Random;
    return std::nullopt;
}

std::string PatternTextLine(std::uint64_t number) {
    char line[kTextLineLength + 1];
    std::snprintf(line, sizeof line,
                  "KM40R %08llu The quick brown fox jumps over the lazy dog.\r\n",
                  static_cast<unsigned long long>(number % 100000000ull));
    return line;
}

PatternGenerator::PatternGenerator(Pattern pattern, std::uint64_t seed)
    : pattern_(pattern), state_(seed == 0 ? 1 : seed) {}

std::string PatternGenerator::next(std::size_t count) {
    std::string out;
    out.reserve(count);
    while (out.size() < count) {
        switch (pattern_) {
        case Pattern::Text: {
            const std::size_t offset = position_ % kTextLineLength;
            if (offset == 0 || line_.empty())
                line_ = PatternTextLine(position_ / kTextLineLength);
            const std::size_t take = std::min(count - out.size(), kTextLineLength - offset);
            out.append(line_, offset, take);
            position_ += take;
            break;
        }
        case Pattern::Counter:
            out += static_cast<char>(position_ & 0xFF);
            ++position_;
            break;
        case Pattern::Random:
            state_ ^= state_ >> 12;
            state_ ^= state_ << 25;
            state_ ^= state_ >> 27;
            out += static_cast<char>((state_ * 0x2545F4914F6CDD1Dull) >> 56);
            ++position_;
            break;
        }
    }
    return out;
}

} // namespace km40r::sim
