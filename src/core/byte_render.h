// The decimal and hexadecimal renderings of bytes in the traffic logs.
//
// BytesToDec: each byte as a decimal number 0..255 without leading zeros,
// followed by '-' ("65-66-13-10-"). BytesToHex: each byte as two upper-case
// hexadecimal digits followed by '-' ("41-42-0D-0A-"). Both render an empty
// string as empty and never contain a line break.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace km40r {

std::string BytesToDec(std::string_view bytes);
std::string BytesToHex(std::string_view bytes);

// Appending forms, for rendering into an existing buffer.
void AppendDec(std::string& out, unsigned char byte);
void AppendHex(std::string& out, unsigned char byte);

// The number of characters BytesToDec gives for one byte (2 to 4).
constexpr int DecWidth(unsigned char byte) { return byte < 10 ? 2 : byte < 100 ? 3 : 4; }
inline constexpr int kHexWidth = 3;

} // namespace km40r
