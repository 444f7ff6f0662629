#include "core/errors.h"
#include "core/integer.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace km40r;

namespace {

struct Case {
    std::string text;
    std::optional<std::int32_t> value; // nullopt: rejected
};

class ParseIntegerTest : public testing::TestWithParam<Case> {};

TEST_P(ParseIntegerTest, AcceptsExactlyTheIntegerForms) {
    const Case& c = GetParam();
    EXPECT_EQ(IsInteger(c.text), c.value.has_value());
    if (c.value) {
        EXPECT_EQ(ParseInteger(c.text), *c.value);
    } else {
        try {
            ParseInteger(c.text);
            ADD_FAILURE() << "accepted '" << c.text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + c.text + "' is not a valid integer value");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIntegerTest,
    testing::Values(
        // Decimal, with blanks and sign.
        Case{"0", 0}, Case{"065", 65}, Case{"   42", 42}, Case{"+7", 7}, Case{"-01", -1},
        Case{" -5", -5}, Case{"2147483647", 2147483647},
        Case{"-2147483648", -2147483647 - 1}, Case{"2147483648", std::nullopt},
        Case{"-2147483649", std::nullopt}, Case{"99999999999999999999", std::nullopt},
        // Hexadecimal prefixes, cases, leading zeros, 32-bit pattern.
        Case{"$41", 65}, Case{"$4a", 74}, Case{"$4A", 74}, Case{"x41", 65}, Case{"X41", 65},
        Case{"0x4", 4}, Case{"0X1f", 31}, Case{"-$1", -1}, Case{" +$10", 16},
        Case{"$FFFFFFFF", -1}, Case{"$80000000", -2147483647 - 1},
        Case{"-$80000000", -2147483647 - 1}, Case{"$000000001", 1},
        Case{"$100000000", std::nullopt}, Case{"$123456789", std::nullopt},
        // Rejected shapes.
        Case{"", std::nullopt}, Case{" ", std::nullopt}, Case{"-", std::nullopt},
        Case{" +", std::nullopt}, Case{"$", std::nullopt}, Case{"0x", std::nullopt},
        Case{"-x", std::nullopt}, Case{"12 ", std::nullopt}, Case{"\t12", std::nullopt},
        Case{"12\r", std::nullopt}, Case{"6\r\n", std::nullopt}, Case{"65B", std::nullopt},
        Case{"$G1", std::nullopt}, Case{"$$41", std::nullopt}, Case{"--1", std::nullopt},
        Case{"+-1", std::nullopt}, Case{"- 1", std::nullopt}, Case{"1.0", std::nullopt},
        Case{"0x0x1", std::nullopt}, Case{"\xFD" "1", std::nullopt}));

} // namespace
