// Code page 1254 (Windows Turkish), the program's 8-bit text encoding.
//
// Principles of operation: inside the core a text is a std::string of 1254
// bytes, exactly as the device and the settings file see it. Conversion to
// and from Unicode happens only at the edges (widgets, file system paths),
// through the one table in cp1254.cpp. Bytes 0x00..0x7F are ASCII; bytes with
// no character in the code page decode to U+FFFD; a character with no byte
// in the code page encodes as '?'.
#pragma once

#include <string>
#include <string_view>

namespace km40r {

// The Unicode character of one byte (U+FFFD for the seven undefined bytes).
char16_t Cp1254ToUnicode(unsigned char byte);

// The byte of one Unicode character, or -1 when the code page has none.
int UnicodeToCp1254(char32_t ch);

// UTF-8 <-> 1254. Invalid UTF-8 and characters without a byte become '?'.
std::string Utf8ToCp1254(std::string_view utf8);
std::string Cp1254ToUtf8(std::string_view text);

} // namespace km40r
