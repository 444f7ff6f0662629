#include "core/errors.h"

#include <gtest/gtest.h>

using namespace km40r;

TEST(ErrorBoxText, FullStopWhenTheLastCharacterSortsAfterDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"'yes' is not a valid boolean value", "'yes' is not a valid boolean value."},
        {"List index out of bounds (0)", "List index out of bounds (0)"}, // ')' < '.'
        {"Unable to write to /x/km40r.ini", "Unable to write to /x/km40r.ini."},
        {"ends with dot.", "ends with dot."},
        {"'$G1' is not a valid integer value", "'$G1' is not a valid integer value."},
        {"quote'", "quote'"},    // '\'' < '.'
        {"dash-", "dash-"},      // '-' < '.'
        {"slash/", "slash/."},   // '/' > '.'
        {"digit 7", "digit 7."},
        {"Hata Kodu:10061", "Hata Kodu:10061."},
        {"ends in \xFD", "ends in \xFD."}, // bytes above 127 sort after '.'
        {"", ""},
    };
    for (const auto& [message, shown] : cases)
        EXPECT_EQ(ErrorBoxText(message), shown) << message;
}

TEST(Errors, MessagesOfTheErrorKinds) {
    EXPECT_STREQ(EListError::outOfBounds(0).what(), "List index out of bounds (0)");
    EXPECT_STREQ(EIniFileError::unableToWrite("/tmp/dır/km40r.ini").what(),
                 "Unable to write to /tmp/d\xFDr/km40r.ini");
    // All kinds are caught as the one base.
    try {
        throw EComError("x");
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "x");
    }
}
