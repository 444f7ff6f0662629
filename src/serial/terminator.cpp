#include "serial/terminator.h"

#include "core/errors.h"
#include "core/integer.h"

namespace km40r {

std::string TerminatorText(std::string_view terminator) {
    std::string text;
    for (const unsigned char byte : terminator) {
        text += '#';
        text += std::to_string(byte);
    }
    return text;
}

void SetTerminatorText(std::string& terminator, std::string_view text) {
    terminator.clear();
    std::string rest(text.empty() ? text : text.substr(1));
    while (!rest.empty()) {
        const std::string token = NextToken(rest, '#');
        if (!IsInteger(token)) {
            terminator = "\r\n";
            throw EComError("Illegal terminator string.\r"
                            "format : #<asciicode>#<asciicode>#<...>\r"
                            "example: #13#10");
        }
        terminator += static_cast<char>(static_cast<unsigned char>(ParseInteger(token) & 0xFF));
    }
    if (terminator.empty())
        throw EComError("Terminator string cannot be empty!");
}

std::string NextToken(std::string& text, char delimiter) {
    const auto at = text.find(delimiter);
    if (at == std::string::npos) {
        std::string token = std::move(text);
        text.clear();
        return token;
    }
    std::string token = text.substr(0, at);
    text.erase(0, at + 1);
    return token;
}

std::size_t PieceEnd(std::string_view buffer, std::size_t from, std::string_view terminator) {
    if (terminator.empty())
        return std::string_view::npos;
    const auto at = buffer.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
}

} // namespace km40r
