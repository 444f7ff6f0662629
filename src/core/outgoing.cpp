#include "core/outgoing.h"

#include "core/integer.h"

namespace km40r {
namespace {

char lowByte(std::int32_t value) { return static_cast<char>(static_cast<std::uint32_t>(value) & 0xFF); }

std::string decimalEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '#') {
            const std::string_view group = text.substr(i + 1, 3);
            if (IsInteger(group)) {
                out += lowByte(ParseInteger(group));
                i += 1 + group.size();
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::string hexadecimalEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '$') {
            const std::string_view group = text.substr(i, 3);
            out += lowByte(ParseInteger(group)); // a bad group fails the whole text
            i += group.size();
            continue;
        }
        out += text[i++];
    }
    return out;
}

} // namespace

std::string TransformOutgoing(std::string_view text, OutgoingOptions options) {
    std::string bytes(text);
    if (options.crlf)
        bytes += "\r\n";
    if (options.dec)
        bytes = decimalEscapes(bytes);
    if (options.hex)
        bytes = hexadecimalEscapes(bytes);
    return bytes;
}

} // namespace km40r
