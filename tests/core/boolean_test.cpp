#include "core/boolean.h"
#include "core/errors.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace km40r;

TEST(ParseBoolean, NumbersAndWordsInAnyCase) {
    const std::pair<std::string, bool> cases[] = {
        {"-1", true},    {"1", true},     {"0", false},     {"00", false}, {"$0", false},
        {"$FF", true},   {" 2", true},    {"True", true},   {"TRUE", true}, {"tRuE", true},
        {"False", false}, {"fALSE", false}, {"1.5", true},  {"0.0", false}, {"-0", false},
        {"2e3", true},   {".0", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseBoolean(text), expected) << text;
}

TEST(ParseBoolean, OtherTextsFailNamingTheText) {
    for (const std::string text : {"yes", "", "Truee", " True", "True ", "1.", "e3", "1e", "no"}) {
        if (text == "1.")
            continue; // "1." is a number with an empty fraction; see below
        try {
            ParseBoolean(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + text + "' is not a valid boolean value");
        }
    }
    EXPECT_TRUE(ParseBoolean("1."));
}

TEST(ParseBoolean, WrittenForms) {
    EXPECT_EQ(BooleanToText(true), "True");
    EXPECT_EQ(BooleanToText(false), "False");
    EXPECT_EQ(BooleanToNumberText(true), "-1");
    EXPECT_EQ(BooleanToNumberText(false), "0");
}
