// Fuzz target: Split, the delimited list of a setting's value choices.
//
// The first input byte chooses the delimiter (mostly ',', the one the
// program uses); the rest is the text. The items must match a plain model of
// the rules in core/split.h, hold no '<' or '>', and, when the cleaned text
// holds no double quote, join with the delimiter back into the cleaned text.
#include "fuzz_check.h"

#include "core/split.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace km40r;
using fuzz::Quote;

namespace {

// Step 1: without '<' and '>', then without leading and trailing bytes of
// codes 0 to 32.
std::string cleaned(std::string_view text) {
    std::string s;
    for (const char c : text)
        if (c != '<' && c != '>')
            s += c;
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t begin = 0, end = s.size();
    while (begin < end && isControl(s[begin]))
        ++begin;
    while (end > begin && isControl(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

std::vector<std::string> model(char delimiter, std::string_view text) {
    const std::string s = cleaned(text);
    std::vector<std::string> items;
    if (s.empty())
        return items;
    std::size_t at = 0;
    for (;;) {
        // One item (or a quoted item and the text after its closing quote).
        if (s[at] == '"') {
            std::string item;
            std::size_t j = at + 1;
            for (;;) {
                if (j == s.size()) {
                    // Never closed: the rest less the text's last character.
                    const std::size_t restLength = s.size() - (at + 1);
                    items.push_back(restLength == 0 ? "" : s.substr(at + 1, restLength - 1));
                    return items;
                }
                if (s[j] == '"' && j + 1 < s.size() && s[j + 1] == '"') {
                    item += '"';
                    j += 2;
                } else if (s[j] == '"') {
                    ++j;
                    break;
                } else {
                    item += s[j++];
                }
            }
            items.push_back(item);
            at = j;
            if (at < s.size() && s[at] != delimiter) {
                std::string tail;
                while (at < s.size() && s[at] != delimiter)
                    tail += s[at++];
                items.push_back(tail);
            }
        } else {
            std::string item;
            while (at < s.size() && s[at] != delimiter)
                item += s[at++];
            items.push_back(item);
        }
        if (at == s.size())
            return items;
        ++at; // over the delimiter
        if (at == s.size()) {
            items.emplace_back(); // a delimiter at the very end
            return items;
        }
    }
}

std::string describe(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const auto& item : items)
        out += (out.size() > 1 ? ", " : "") + Quote(item);
    return out + "}";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static constexpr char kOtherDelimiters[] = {';', '"', '<',  ' ', '\0',
                                                '|', ':', '\t', 'a', '\xFF'};
    const char delimiter =
        data[0] < 192 ? ',' : kOtherDelimiters[data[0] % sizeof kOtherDelimiters];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::vector<std::string> items{"left over"};
    Split(delimiter, text, items);
    const std::vector<std::string> expected = model(delimiter, text);
    FUZZ_CHECK(items == expected, "delimiter " + Quote(std::string(1, delimiter)) + " text " +
                                      Quote(text) + "\n got      " + describe(items) +
                                      "\n expected " + describe(expected));
    for (const auto& item : items)
        FUZZ_CHECK(item.find_first_of("<>") == std::string::npos, "item " + Quote(item));

    const std::string clean = cleaned(text);
    if (clean.find('"') == std::string::npos) {
        std::string joined;
        for (std::size_t i = 0; i < items.size(); ++i)
            joined += (i > 0 ? std::string(1, delimiter) : "") + items[i];
        FUZZ_CHECK(joined == clean, "joined " + Quote(joined) + " cleaned " + Quote(clean));
    }
    return 0;
}
