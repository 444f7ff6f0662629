// Truth values as the settings file stores them.
//
// Any number is accepted, zero meaning false and any other number true: the
// integers ParseInteger accepts, and decimal numbers with a fraction or an
// exponent ("1.5", "-0.0", "2e3"). The words "True" and "False" are accepted
// in any mix of upper and lower case. Anything else fails with EConvertError
// "'%s' is not a valid boolean value", the whole text in place of %s.
//
// Writing: the defaults written back at start-up are "True"/"False"
// (BooleanToText); "Kaydet" writes "-1"/"0" (BooleanToNumberText).
#pragma once

#include <string>
#include <string_view>

namespace km40r {

bool ParseBoolean(std::string_view text);

inline std::string BooleanToText(bool value) { return value ? "True" : "False"; }
inline std::string BooleanToNumberText(bool value) { return value ? "-1" : "0"; }

} // namespace km40r
