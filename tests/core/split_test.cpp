#include "core/split.h"

#include <gtest/gtest.h>

using namespace km40r;
using Items = std::vector<std::string>;

TEST(Split, Table) {
    const std::pair<std::string, Items> cases[] = {
        {"0:Kapali,1:Acik", {"0:Kapali", "1:Acik"}},
        {"<0:Kapali>,<1:Acik>", {"0:Kapali", "1:Acik"}},      // angle brackets removed
        {"  \t0:a, 1:b \r\n", {"0:a", " 1:b"}},              // trimmed ends, inner blanks kept
        {"", {}},
        {" <> ", {}},                                         // nothing but brackets and blanks
        {",", {"", ""}},
        {"a,", {"a", ""}},
        {",a", {"", "a"}},
        {"a,,b", {"a", "", "b"}},
        {"\"a,b\",c", {"a,b", "c"}},                          // a quoted item holds the delimiter
        {"\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},        // doubled quotes stand for one
        {"\"ab\"cd,e", {"ab", "cd", "e"}},                    // text after the closing quote
        {"\"ab\",", {"ab", ""}},
        {"x,\"abc", {"x", "ab"}},                             // no closing quote: rest less last
        {"\"", {""}},
        {"a\"b,c", {"a\"b", "c"}},                            // a quote inside an item is plain
        {"1:\xC7\xFDk\xFD\xFE,2:G\xFDri\xFE", {"1:\xC7\xFDk\xFD\xFE", "2:G\xFDri\xFE"}},
    };
    for (const auto& [text, expected] : cases) {
        Items list{"stale"};
        Split(',', text, list);
        EXPECT_EQ(list, expected) << text;
    }
}
