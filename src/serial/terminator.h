// The terminator of the serial port's terminator mode, and its text format.
//
// Principles of operation: in terminator mode the serial port component keeps
// received bytes in a line buffer and hands them on in pieces, each running up
// to and including the terminator, a byte string (CR LF by default). Settings
// hold the terminator as text: "#" and the decimal value of each byte, so CR LF
// reads "#13#10". Writing the text is forgiving in the way settings written by
// earlier installations expect: the first character is dropped whatever it is,
// the rest is cut at every "#", and each piece is taken by the program's
// integer conversion (so "$0D" works too) keeping its low eight bits. A piece
// that does not convert, or a text that yields no byte, is an error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace km40r {

// The terminator as text: "#" and the decimal value of each byte, in order
// ("#13#10" for CR LF); empty for an empty terminator.
std::string TerminatorText(std::string_view terminator);

// Sets `terminator` from its text. The terminator is emptied, the text's first
// character is dropped, and each token that NextToken cuts at "#" is converted
// by ParseInteger; the low 8 bits of each value are appended as one byte.
// Throws EComError:
//   - when a token does not convert (an empty token included): the terminator
//     is then CR LF, and the message is the three lines "Illegal terminator
//     string.", "format : #<asciicode>#<asciicode>#<...>" and "example: #13#10"
//     separated by single CR bytes;
//   - when no byte results: "Terminator string cannot be empty!", and the
//     terminator stays empty.
void SetTerminatorText(std::string& terminator, std::string_view text);

// Cuts the next token from `text` at `delimiter`: the characters before the
// first delimiter, which are removed from `text` together with the delimiter.
// Without a delimiter the token is the whole text and `text` becomes empty; an
// empty text gives an empty token.
std::string NextToken(std::string& text, char delimiter);

// The end of the complete piece of `buffer` that starts at `from`: the
// position just past the first occurrence of `terminator` at or after `from`.
// Returns std::string_view::npos when the terminator does not occur there or
// is empty (an empty terminator never completes a piece). Callers cut pieces
// by advancing `from`, so a buffer holding many pieces is cut in linear time.
std::size_t PieceEnd(std::string_view buffer, std::size_t from, std::string_view terminator);

} // namespace km40r
