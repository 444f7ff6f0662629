// The program's one text-to-integer conversion.
//
// ParseInteger reads, left to right: any number of leading spaces (only the
// space character), at most one sign, then either
//   - a hexadecimal number: prefix '$', 'x', 'X', "0x" or "0X" and one or more
//     hex digits, at most 8 significant ones (leading zeros are free), taken
//     as a 32-bit pattern (FFFFFFFF is -1) and negated by a '-' sign; or
//   - a decimal number whose signed value lies in the 32-bit range;
// and nothing after the last digit. Anything else fails with EConvertError
// "'%s' is not a valid integer value", the whole text in place of %s.
#pragma once

#include <cstdint>
#include <string_view>

namespace km40r {

std::int32_t ParseInteger(std::string_view text);

// True when ParseInteger accepts the text.
bool IsInteger(std::string_view text);

} // namespace km40r
