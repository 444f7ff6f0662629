// The outgoing text transformation: the exact bytes a text becomes before it
// goes to the device.
//
// Principles of operation: three options decide what happens, always in the
// same order, each step working on the output of the one before it and never
// rescanning its own output:
//   1. crlf: the bytes 13 and 10 are appended, before any escape is looked at
//      (so an escape typed at the very end sees the CR and LF in its group);
//   2. dec: '#' and the next three characters (fewer at the end of the text)
//      become one byte, the low 8 bits of the group's value, when IsInteger
//      accepts the group; otherwise the '#' stays and scanning goes on with the
//      character after it;
//   3. hex: '$' and the next two characters (fewer at the end), taken together
//      as a ParseInteger text with '$' as its hexadecimal prefix, become one
//      byte; a group that does not convert fails the whole transformation with
//      EConvertError "'%s' is not a valid integer value", the group in place
//      of %s exactly as it was (CR and LF included).
// Characters outside escapes pass through unchanged, one byte each.
#pragma once

#include <string>
#include <string_view>

namespace km40r {

struct OutgoingOptions {
    bool crlf = false; // "Veri sonuna CR+LF Ekle"
    bool dec = false;  // "# sonraki üç karaker Byte deger"
    bool hex = false;  // "$ sonraki iki karakter HEX deger"
};

std::string TransformOutgoing(std::string_view text, OutgoingOptions options);

} // namespace km40r
