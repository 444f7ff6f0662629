#include "core/cp1254.h"

#include <array>

namespace km40r {
namespace {

constexpr char16_t kUndefined = 0xFFFD;

// 0x80..0x9F: the code page's own characters.
constexpr std::array<char16_t, 32> kHigh80 = {
    0x20AC, kUndefined, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030,     0x0160, 0x2039, 0x0152, kUndefined, kUndefined, kUndefined,
    kUndefined, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122,     0x0161, 0x203A, 0x0153, kUndefined, kUndefined, 0x0178,
};

constexpr char16_t decode(unsigned char b) {
    if (b < 0x80)
        return b;
    if (b < 0xA0)
        return kHigh80[b - 0x80];
    switch (b) { // 0xA0..0xFF follow Latin-1 but for the six Turkish letters.
    case 0xD0: return 0x011E; // Ğ
    case 0xDD: return 0x0130; // İ
    case 0xDE: return 0x015E; // Ş
    case 0xF0: return 0x011F; // ğ
    case 0xFD: return 0x0131; // ı
    case 0xFE: return 0x015F; // ş
    default: return b;
    }
}

struct ReverseTable {
    // Characters above U+00FF that the code page holds, with their bytes.
    std::array<std::pair<char16_t, unsigned char>, 38> extra{};
    std::size_t count = 0;
    constexpr ReverseTable() {
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char16_t u = decode(static_cast<unsigned char>(b));
            if (u > 0xFF && u != kUndefined)
                extra[count++] = {u, static_cast<unsigned char>(b)};
        }
    }
};
constexpr ReverseTable kReverse;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

char16_t Cp1254ToUnicode(unsigned char byte) { return decode(byte); }

int UnicodeToCp1254(char32_t ch) {
    if (ch < 0x80)
        return static_cast<int>(ch);
    if (ch <= 0xFF) {
        // Latin-1 range: valid unless its byte holds another character here.
        if (ch >= 0xA0 && decode(static_cast<unsigned char>(ch)) == ch)
            return static_cast<int>(ch);
        return -1;
    }
    for (std::size_t i = 0; i < kReverse.count; ++i)
        if (kReverse.extra[i].first == ch)
            return kReverse.extra[i].second;
    return -1;
}

std::string Utf8ToCp1254(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        int len = 0;
        char32_t c = 0;
        if (lead < 0x80) {
            len = 1, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            len = 2, c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3, c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4, c = lead & 0x07;
        }
        bool ok = len > 0 && i + len <= utf8.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto cont = static_cast<unsigned char>(utf8[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        const int b = UnicodeToCp1254(c);
        out += b < 0 ? '?' : static_cast<char>(b);
        i += len;
    }
    return out;
}

std::string Cp1254ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text)
        appendUtf8(out, decode(static_cast<unsigned char>(ch)));
    return out;
}

} // namespace km40r
