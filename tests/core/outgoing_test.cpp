#include "core/errors.h"
#include "core/outgoing.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace km40r;

namespace {

struct Case {
    std::string text;
    OutgoingOptions options;
    std::optional<std::string> bytes; // nullopt: fails
    std::string error = {};           // the rejected group
};

constexpr OutgoingOptions kDec{false, true, false};
constexpr OutgoingOptions kDecCrlf{true, true, false};
constexpr OutgoingOptions kHex{false, false, true};
constexpr OutgoingOptions kHexCrlf{true, false, true};
constexpr OutgoingOptions kBoth{false, true, true};
constexpr OutgoingOptions kCrlf{true, false, false};
constexpr OutgoingOptions kNone{};

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

class TransformOutgoingTest : public testing::TestWithParam<Case> {};

TEST_P(TransformOutgoingTest, ProducesTheExactBytes) {
    const Case& c = GetParam();
    if (c.bytes) {
        EXPECT_EQ(TransformOutgoing(c.text, c.options), *c.bytes);
        return;
    }
    try {
        TransformOutgoing(c.text, c.options);
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "'" + c.error + "' is not a valid integer value");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransformOutgoingTest,
    testing::Values(
        Case{"#065", kDec, "A"},
        Case{"x#65", kDec, "xA"},                              // shorter group at the end
        Case{"#65", kDecCrlf, "#65\r\n"},                      // group 6,5,CR rejected
        Case{"#65B", kDec, "#65B"},
        Case{"#256", kDec, bytes({0})},
        Case{"#999", kDec, bytes({231})},
        Case{"#-01", kDec, bytes({255})},
        Case{"# 65", kDec, "A"},                               // leading blank accepted
        Case{"#$41", kDec, "A"}, Case{"#x41", kDec, "A"}, Case{"#0x4", kDec, bytes({4})},
        Case{"##065", kDec, "#A"},                             // #06 rejected, then #065
        Case{"#", kDec, "#"},
        Case{"#0", kDec, bytes({0})},
        Case{"$41", kHex, "A"}, Case{"$4a", kHex, "J"},
        Case{"a$4", kHex, std::string("a\x04")},
        Case{"$4", kHexCrlf, std::nullopt, "$4\r"},
        Case{"$G1", kHex, std::nullopt, "$G1"},
        Case{"$", kHex, std::nullopt, "$"},
        Case{"$$41", kHex, std::nullopt, "$$4"},
        Case{"ok$", kHexCrlf, std::nullopt, "$\r\n"},
        Case{"#03641", kBoth, "A"},                            // # makes $41, $ converts it
        Case{"#036", kBoth, std::nullopt, "$"},
        Case{"#035", kBoth, "#"},                              // produced # stays
        Case{"$24", kHex, "$"},                                // produced '$' not rescanned
        Case{"#035065", kDec, "#065"},                         // produced '#' not rescanned
        Case{"", kCrlf, "\r\n"},
        Case{"", kNone, ""},
        Case{"#065$41", kNone, "#065$41"},                     // options off: as typed
        Case{"#065$41", kCrlf, "#065$41\r\n"},
        Case{"\xFD\x80\xFF", kBoth, "\xFD\x80\xFF"},           // bytes 128..255 pass
        Case{std::string("a\0b", 3), kBoth, std::string("a\0b", 3)},
        Case{"#13#10", kDec, "#13\n"},                         // group 13# rejected, #10 accepted
        Case{"#013#010", kDec, "\r\n"},
        Case{"<YAZ,01,05,$31>", kBoth, "<YAZ,01,05,1>"}));

} // namespace
