// The rules of the program's integer conversion, written a second way for
// the fuzz targets: they compare ParseInteger (and everything built on it)
// with this. It follows the rules in core/integer.h and shares no code with
// the conversion itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace km40r::fuzz {

// The value ParseInteger must give for text, or nothing when it must fail.
inline std::optional<std::int32_t> ReferenceInteger(std::string_view text) {
    std::string_view rest = text;
    while (rest.starts_with(' '))
        rest.remove_prefix(1);
    bool negative = false;
    if (rest.starts_with('+') || rest.starts_with('-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    bool hex = true;
    if (rest.starts_with("0x") || rest.starts_with("0X"))
        rest.remove_prefix(2);
    else if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X'))
        rest.remove_prefix(1);
    else
        hex = false;

    const std::string_view allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (rest.empty() || rest.find_first_not_of(allowed) != std::string_view::npos)
        return std::nullopt;
    // Leading zeros are free; what is left are the significant digits.
    const std::size_t firstSignificant = rest.find_first_not_of('0');
    const std::string_view significant = firstSignificant == std::string_view::npos
                                             ? std::string_view{}
                                             : rest.substr(firstSignificant);

    if (hex) {
        if (significant.size() > 8)
            return std::nullopt;
        std::uint32_t pattern = 0;
        for (const char c : significant) {
            const std::string_view digits = "0123456789abcdef";
            const char lower = (c >= 'A' && c <= 'F') ? static_cast<char>(c + ('a' - 'A')) : c;
            pattern = pattern * 16 + static_cast<std::uint32_t>(digits.find(lower));
        }
        if (negative)
            pattern = ~pattern + 1;
        return static_cast<std::int32_t>(pattern);
    }
    if (significant.size() > 10)
        return std::nullopt;
    const long long magnitude = significant.empty() ? 0 : std::stoll(std::string(significant));
    const long long value = negative ? -magnitude : magnitude;
    if (value < -2147483648LL || value > 2147483647LL)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The conversion error's message for text.
inline std::string IntegerErrorMessage(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

} // namespace km40r::fuzz
