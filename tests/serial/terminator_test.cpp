#include "core/errors.h"
#include "serial/com_port.h"
#include "serial/comm_thread.h"
#include "serial/terminator.h"

#include <gtest/gtest.h>

using namespace km40r;

TEST(ComPortTerminator, TextFormat) {
    const std::string illegal = "Illegal terminator string.\r"
                                "format : #<asciicode>#<asciicode>#<...>\r"
                                "example: #13#10";
    const std::string empty = "Terminator string cannot be empty!";
    struct Case {
        std::string written;
        std::string bytes;
        std::string readsBack;
        std::string error; // empty: none
    };
    const Case cases[] = {
        {"#13#10", "\r\n", "#13#10", ""},
        {"#13", "\r", "#13", ""},
        {"#65#66#", "AB", "#65#66", ""},         // a trailing delimiter gives no token
        {"13#10", "\x03\n", "#3#10", ""},        // the first character is dropped
        {"#$0D#x0A", "\r\n", "#13#10", ""},      // the integer conversion's hex forms
        {"# 300#-1", "\x2C\xFF", "#44#255", ""}, // low 8 bits; leading blanks, sign
        {"#0", std::string(1, '\0'), "#0", ""},
        {"#13##10", "\r\n", "#13#10", illegal}, // an empty token fails
        {"#13#1x", "\r\n", "#13#10", illegal},
        {"#", "", "", empty},
        {"", "", "", empty},
    };
    for (const auto& c : cases) {
        TComPort port;
        std::string error;
        try {
            port.SetTerminator(c.written);
        } catch (const EComError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.written;
        EXPECT_EQ(port.Terminator(), c.readsBack) << c.written;
        std::string bytes = "old";
        try {
            SetTerminatorText(bytes, c.written);
        } catch (const EComError&) {
        }
        EXPECT_EQ(bytes, c.bytes) << c.written;
    }
}

TEST(ComPortTerminator, NextTokenAndPieceEnd) {
    std::string text = "13##10";
    EXPECT_EQ(NextToken(text, '#'), "13");
    EXPECT_EQ(text, "#10");
    EXPECT_EQ(NextToken(text, '#'), "");
    EXPECT_EQ(text, "10");
    EXPECT_EQ(NextToken(text, '#'), "10");
    EXPECT_EQ(text, "");
    EXPECT_EQ(NextToken(text, '#'), "");

    constexpr auto none = std::string_view::npos;
    struct Case {
        std::string_view buffer;
        std::size_t from;
        std::string_view terminator;
        std::size_t end;
    };
    const Case cases[] = {
        {"AB\r\nCD\r\n", 0, "\r\n", 4},
        {"AB\r\nCD\r\n", 4, "\r\n", 8},
        {"AB\r\nCD\r\n", 8, "\r\n", none},
        {"AB\r", 0, "\r\n", none}, // a terminator not yet complete
        {"aaa", 0, "aa", 2},       // the first occurrence counts
        {"AB\r\n", 0, "", none},   // an empty terminator completes nothing
        {std::string_view("A\0B", 3), 0, std::string_view("\0", 1), 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PieceEnd(c.buffer, c.from, c.terminator), c.end) << c.buffer << " " << c.from;
}

TEST(ComPortDevicePath, PortNamesMapToDevices) {
    const std::pair<std::string, std::string> cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM12", "/dev/ttyS11"},
        {"com3", "/dev/ttyS2"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"./ttyX", "./ttyX"},
        {"COM0", "/dev/COM0"},
        {"COM01", "/dev/COM01"},
        {"COM", "/dev/COM"},
        {"COM1x", "/dev/COM1x"},
        {"COMPORT", "/dev/COMPORT"},
        {"tty\xFD", "/dev/tty\xC4\xB1"}, // 1254 dotless i becomes UTF-8
    };
    for (const auto& [port, path] : cases)
        EXPECT_EQ(DevicePath(port), path) << port;
}
