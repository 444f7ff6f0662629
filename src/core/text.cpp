#include "core/text.h"

namespace km40r {

std::string TextBetween(std::string_view text, std::string_view start, std::string_view end) {
    std::size_t from = 0;
    if (!start.empty()) {
        const auto at = text.find(start);
        if (at == std::string_view::npos)
            return {};
        from = at + start.size();
    }
    const auto to = text.find(end, from);
    if (to == std::string_view::npos)
        return {};
    return std::string(text.substr(from, to - from));
}

std::string TrimControl(std::string_view text) {
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t b = 0, e = text.size();
    while (b < e && isControl(text[b]))
        ++b;
    while (e > b && isControl(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

} // namespace km40r
