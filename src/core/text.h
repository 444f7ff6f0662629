// Small text helpers over code page 1254 byte strings.
#pragma once

#include <string>
#include <string_view>

namespace km40r {

// The part of text after the first occurrence of start and before the first
// occurrence of end after that point. An empty start means the beginning of
// the text. Empty when start is given but missing, or end does not follow it.
// TextBetween("192.168.1.20 (436)", "(", ")") == "436";
// TextBetween("3:fast", "", ":") == "3".
std::string TextBetween(std::string_view text, std::string_view start, std::string_view end);

// The text without its leading and trailing bytes of codes 0 to 32 (blanks
// and control characters). Bytes 128..255 are characters, never trimmed.
std::string TrimControl(std::string_view text);

} // namespace km40r
