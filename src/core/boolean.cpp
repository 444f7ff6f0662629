#include "core/boolean.h"

#include "core/errors.h"
#include "core/integer.h"

#include <optional>

namespace km40r {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number with an optional fraction and exponent: [blanks][sign]
// digits[.digits][(e|E)[sign]digits], or .digits. Returns whether it is zero.
std::optional<bool> decimalIsZero(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    bool digits = false, nonZero = false;
    for (; i < s.size() && isDigit(s[i]); ++i)
        digits = true, nonZero |= s[i] != '0';
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && isDigit(s[i]); ++i)
            digits = true, nonZero |= s[i] != '0';
    }
    if (!digits)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        bool expDigits = false;
        for (; i < s.size() && isDigit(s[i]); ++i)
            expDigits = true;
        if (!expDigits)
            return std::nullopt;
    }
    if (i != s.size())
        return std::nullopt;
    return !nonZero;
}

} // namespace

bool ParseBoolean(std::string_view text) {
    if (IsInteger(text))
        return ParseInteger(text) != 0;
    if (const auto zero = decimalIsZero(text))
        return !*zero;
    if (equalsIgnoringCase(text, "true"))
        return true;
    if (equalsIgnoringCase(text, "false"))
        return false;
    throw EConvertError(FormatMessage("'%s' is not a valid boolean value", text));
}

} // namespace km40r
