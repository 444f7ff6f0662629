// Split: cuts a delimited text into items, the way the value choices of a
// list setting are stored in the catalogue ("0:Kapali,1:Acik").
//
// Principles of operation:
//   1. Every '<' and '>' is removed, then leading and trailing bytes of codes
//      0 to 32.
//   2. The rest is cut at the delimiter, left to right; blanks stay part of
//      the items. An empty text gives no items; two delimiters in a row give
//      an empty item between them, a delimiter at the start an empty first
//      item, and one at the very end a final empty item.
//   3. An item that begins with a double quote is quoted: it runs to the next
//      double quote that is not doubled, and two double quotes inside it
//      stand for one. Text after the closing quote, up to the next
//      delimiter, is an item of its own. A quoted item with no closing quote
//      takes the rest of the text less its last character, and the text ends
//      there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace km40r {

// Empties list and fills it with the items of text.
void Split(char delimiter, std::string_view text, std::vector<std::string>& list);

} // namespace km40r
