// Fuzz target: the integer conversion and the truth values built on it.
//
// The input is the text. ParseInteger must agree with an independent
// reading of its rules (reference_integer.h), IsInteger with ParseInteger,
// and ParseBoolean with the rules in core/boolean.h; failures must carry
// their exact messages.
#include "fuzz_check.h"
#include "reference_integer.h"

#include "core/boolean.h"
#include "core/errors.h"
#include "core/integer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

using namespace km40r;
using fuzz::Quote;

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number with a fraction or an exponent, read the way the integers
// are (leading spaces, one sign): digits with an optional point and more
// digits (at least one digit in all), then optionally e or E, a sign and
// digits. Gives whether the number is non-zero; nothing when it is no such
// number.
std::optional<bool> referenceDecimalNonZero(std::string_view s) {
    std::size_t at = s.find_first_not_of(' ');
    if (at == std::string_view::npos)
        return std::nullopt;
    s.remove_prefix(at);
    if (s.front() == '+' || s.front() == '-')
        s.remove_prefix(1);
    const std::size_t mantissaEnd = s.find_first_of("eE");
    const std::string_view mantissa = s.substr(0, mantissaEnd);
    const std::size_t point = mantissa.find('.');
    std::string digits(mantissa);
    if (point != std::string_view::npos)
        digits.erase(point, 1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return std::nullopt;
    if (mantissaEnd != std::string_view::npos) {
        std::string_view exponent = s.substr(mantissaEnd + 1);
        if (exponent.starts_with('+') || exponent.starts_with('-'))
            exponent.remove_prefix(1);
        if (exponent.empty() || !std::all_of(exponent.begin(), exponent.end(), isDigit))
            return std::nullopt;
    }
    return digits.find_first_not_of('0') != std::string::npos;
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void checkInteger(std::string_view text) {
    const std::optional<std::int32_t> expected = fuzz::ReferenceInteger(text);
    FUZZ_CHECK(IsInteger(text) == expected.has_value(), "text " + Quote(text));
    try {
        const std::int32_t value = ParseInteger(text);
        FUZZ_CHECK(expected && value == *expected,
                   "text " + Quote(text) + " gave " + std::to_string(value) + ", expected " +
                       (expected ? std::to_string(*expected) : "an error"));
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!expected, "text " + Quote(text) + " failed, expected " +
                                  std::to_string(expected.value_or(0)));
        FUZZ_CHECK(e.what() == fuzz::AsWhat(fuzz::IntegerErrorMessage(text)),
                   "message " + Quote(e.what()));
    }
}

void checkBoolean(std::string_view text) {
    std::optional<bool> expected;
    if (const auto integer = fuzz::ReferenceInteger(text))
        expected = *integer != 0;
    else if (const auto nonZero = referenceDecimalNonZero(text))
        expected = *nonZero;
    else if (lowerAscii(text) == "true")
        expected = true;
    else if (lowerAscii(text) == "false")
        expected = false;
    try {
        const bool value = ParseBoolean(text);
        FUZZ_CHECK(expected && value == *expected,
                   "text " + Quote(text) + " gave " + (value ? "true" : "false"));
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!expected, "text " + Quote(text) + " failed");
        FUZZ_CHECK(e.what() ==
                       fuzz::AsWhat("'" + std::string(text) + "' is not a valid boolean value"),
                   "message " + Quote(e.what()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkInteger(text);
    checkBoolean(text);
    // The written forms of truth values read back as written.
    for (const bool b : {false, true}) {
        FUZZ_CHECK(ParseBoolean(BooleanToText(b)) == b, BooleanToText(b));
        FUZZ_CHECK(ParseBoolean(BooleanToNumberText(b)) == b, BooleanToNumberText(b));
    }
    return 0;
}
