#include "core/split.h"

#include "core/text.h"

namespace km40r {

void Split(char delimiter, std::string_view text, std::vector<std::string>& list) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != '<' && c != '>')
            clean += c;
    const std::string s = TrimControl(clean);
    list.clear();
    const std::size_t n = s.size();
    if (n == 0)
        return;

    const auto upToDelimiter = [&](std::size_t from) {
        const std::size_t at = s.find(delimiter, from);
        return at == std::string::npos ? n : at;
    };
    std::size_t i = 0;
    for (;;) {
        if (s[i] == '"') {
            std::string item;
            std::size_t j = i + 1;
            bool closed = false;
            while (j < n) {
                if (s[j] == '"') {
                    if (j + 1 < n && s[j + 1] == '"') {
                        item += '"';
                        j += 2;
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                item += s[j++];
            }
            if (!closed) {
                // The rest of the text less its last character; nothing follows.
                list.push_back(s.substr(i + 1, n - i - 2));
                return;
            }
            list.push_back(item);
            i = j;
            if (i < n && s[i] != delimiter) {
                const std::size_t end = upToDelimiter(i);
                list.push_back(s.substr(i, end - i));
                i = end;
            }
        } else {
            const std::size_t end = upToDelimiter(i);
            list.push_back(s.substr(i, end - i));
            i = end;
        }
        if (i >= n)
            return;
        ++i; // the delimiter
        if (i == n) {
            list.emplace_back(); // a delimiter at the very end
            return;
        }
    }
}

} // namespace km40r
