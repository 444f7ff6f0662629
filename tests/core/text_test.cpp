#include "core/text.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>

using namespace km40r;

TEST(TextBetween, Table) {
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"192.168.1.20 (436)", "(", ")", "436"},
        {"3:fast", "", ":", "3"},
        {" 3 :x", "", ":", " 3 "},
        {"no colon", "", ":", ""},                 // end missing
        {"a (1) (2)", "(", ")", "1"},              // first occurrences
        {"x)y(z", "(", ")", ""},                   // end only before start
        {"abc", "[", "]", ""},                     // start missing
        {"<<a>>", "<<", ">>", "a"},                // longer delimiters
        {"()", "(", ")", ""},
        {"", "", ":", ""},
    };
    for (const auto& [text, start, end, expected] : cases)
        EXPECT_EQ(TextBetween(text, start, end), expected) << text;
}

TEST(TrimControl, RemovesCodesZeroTo32AtBothEndsOnly) {
    EXPECT_EQ(TrimControl("  <BASLA>  "), "<BASLA>");
    EXPECT_EQ(TrimControl(std::string("\0\t\r\n a b \x1F\x20", 10)), "a b");
    EXPECT_EQ(TrimControl("   "), "");
    EXPECT_EQ(TrimControl(""), "");
    // Bytes above 127 are letters of the code page, not blanks.
    EXPECT_EQ(TrimControl("\xA0\xFD "), "\xA0\xFD");
    EXPECT_EQ(TrimControl("\x7F"), "\x7F");
}
