#include "core/byte_render.h"

namespace km40r {

void AppendDec(std::string& out, unsigned char b) {
    if (b >= 100)
        out += static_cast<char>('0' + b / 100);
    if (b >= 10)
        out += static_cast<char>('0' + b / 10 % 10);
    out += static_cast<char>('0' + b % 10);
    out += '-';
}

void AppendHex(std::string& out, unsigned char b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
    out += '-';
}

std::string BytesToDec(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 4);
    for (char c : bytes)
        AppendDec(out, static_cast<unsigned char>(c));
    return out;
}

std::string BytesToHex(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * kHexWidth);
    for (char c : bytes)
        AppendHex(out, static_cast<unsigned char>(c));
    return out;
}

} // namespace km40r
