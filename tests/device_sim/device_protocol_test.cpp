// The simulated device's command interpreter and test data, without
// transports.
#include "device_protocol.h"
#include "test_pattern.h"

#include <gtest/gtest.h>

#include <set>

namespace km40r::sim {
namespace {

CatalogueRecord Row(std::string grup, std::string ayar, std::string tur, std::string combo) {
    CatalogueRecord r;
    r.grup = std::move(grup);
    r.ayar = std::move(ayar);
    r.aciklama = "a\xE7\xFDklama"; // "açıklama" in code page 1254
    r.tur = std::move(tur);
    r.combo = std::move(combo);
    return r;
}

std::string Replies(const std::vector<Exchange>& exchanges) {
    std::string all;
    for (const Exchange& e : exchanges)
        all += e.reply;
    return all;
}

TEST(DeviceSession, AnswersCommandsAndKeepsValues) {
    SettingStore store({
        Row("01", "01", "Text", ""),
        Row("01", "02", "Combo", "<0:1200>,<1:2400>"),
        Row("01", "03", "Combo", " \"3 : a,b\",4:c"),
        Row("01", "04", "combo", "7:x"), // not a list setting: starts empty
        Row("01", "05", "Combo", "9"),   // no colon: no value, as the editor sends it
        Row("01", "06", "Combo", ""),
        Row("01", "02", "Combo", "5:first row wins over this one"),
    });
    DeviceSession session(store, std::string(kDefaultStartText));
    const struct {
        std::string in, out;
    } cases[] = {
        {"<OKU,01,01,>", "<OK,01,01,>\r\n"},
        {"<OKU,01,02,>", "<OK,01,02,0>\r\n"},
        {"<OKU,01,03,>", "<OK,01,03,3>\r\n"},
        {"<OKU,01,04,>", "<OK,01,04,>\r\n"},
        {"<OKU,01,05,>", "<OK,01,05,>\r\n"},
        {"<OKU,01,06,>", "<OK,01,06,>\r\n"},
        {"<YAZ,01,01,a,b\xFE>", "<OK,01,01,a,b\xFE>\r\n"},
        {"<OKU,01,01,>", "<OK,01,01,a,b\xFE>\r\n"},
        {"<YAZ,01,02,>", "<OK,01,02,>\r\n"},
        {"<OKU,01,02,>", "<OK,01,02,>\r\n"},
        {"<OKU,02,01,>", "<ERR,UNKNOWN,02,01>\r\n"},
        {"<YAZ,01,1,5>", "<ERR,UNKNOWN,01,1>\r\n"},
        {"<OKU,,,>", "<ERR,UNKNOWN,,>\r\n"},
        {"<OKU,01,01>", "<ERR,SYNTAX>\r\n"},
        {"<OKU,01,01,x>", "<ERR,SYNTAX>\r\n"},
        {"<YAZ,01,01>", "<ERR,SYNTAX>\r\n"},
        {"<oku,01,01,>", "<ERR,SYNTAX>\r\n"},
        {"<>", "<ERR,SYNTAX>\r\n"},
        {"hello\r\n", "<ERR,SYNTAX>\r\n"},
        {"<OKU,01<OKU,01,02,>", "<ERR,SYNTAX>\r\n<OK,01,02,>\r\n"},
        {" \t\r\n\x01<BASLA>\r\n", "<OK,START>\r\n"},
        {"<EXIT>", "<OK,EXIT>\r\n"},
        {"<BASLA><EXIT>", "<OK,START>\r\n<OK,EXIT>\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Replies(session.feed(c.in)), c.out);
        EXPECT_EQ(session.pending(), 0u);
    }
}

TEST(DeviceSession, AnswersTheSameHoweverTheBytesAreCut) {
    const std::string input = "<BASLA><YAZ,7,7,v,w>\r\n<OKU,7,7,>\r\n<EXIT>\r\n"
                              "oops\n<OKU,8,8,><X<BASLA>";
    const std::string expected = "<OK,START>\r\n<OK,7,7,v,w>\r\n<OK,7,7,v,w>\r\n<OK,EXIT>\r\n"
                                 "<ERR,SYNTAX>\r\n<OK,8,8,>\r\n<ERR,SYNTAX>\r\n<OK,START>\r\n";
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
        SettingStore store;
        DeviceSession session(store, std::string(kDefaultStartText));
        std::string replies = Replies(session.feed(input.substr(0, cut)));
        replies += Replies(session.feed(input.substr(cut)));
        EXPECT_EQ(replies, expected) << "cut at " << cut;
    }
    SettingStore store;
    DeviceSession session(store, std::string(kDefaultStartText));
    std::string replies;
    for (const char c : input) {
        replies += Replies(session.feed(std::string(1, c)));
        EXPECT_EQ(session.framed(),
                  replies.ends_with("<OK,START>\r\n") || replies.ends_with("<OK,7,7,v,w>\r\n"));
    }
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(session.pending(), 0u);
}

TEST(DeviceSession, ABoundlessUnitIsDroppedAndAnOtherStartTextIsACommand) {
    SettingStore store;
    DeviceSession session(store, "STX");
    for (const std::string start : {"<OKU,", "x"}) {
        // 10000 bytes without an end, in pieces of 1000.
        std::string replies;
        for (int i = 0; i < 10; ++i) {
            replies += Replies(session.feed((i == 0 ? start : "") +
                                            std::string(1000 - (i == 0 ? start.size() : 0), 'y')));
            EXPECT_LE(session.pending(), kMaxUnitLength);
        }
        EXPECT_EQ(replies, "<ERR,SYNTAX>\r\n<ERR,SYNTAX>\r\n");
    }
    EXPECT_EQ(Replies(session.feed("ST")), "");
    EXPECT_EQ(Replies(session.feed("X<BASLA>STOP\r\n")),
              "<OK,START>\r\n<ERR,SYNTAX>\r\n<ERR,SYNTAX>\r\n");

    DeviceSession noStartText(store, "");
    EXPECT_EQ(Replies(noStartText.feed("<BASLA><EXIT>")), "<ERR,SYNTAX>\r\n<OK,EXIT>\r\n");
}

TEST(EscapeBytes, ShowsTextAndEscapesTheRest) {
    static const char bytes[] = "Ay\\ar <\xFE\xDD>\r\n\t\x00\x1F\x7F\x80\xA0\xAD";
    EXPECT_EQ(EscapeBytes(std::string(bytes, sizeof bytes - 1)),
              "Ay\\\\ar <\xC5\x9F\xC4\xB0>\\r\\n\\t\\x00\\x1F\\x7F\\x80\\xA0\\xAD");
}

TEST(PatternGenerator, PiecesJoinIntoOneSequence) {
    for (const Pattern pattern : {Pattern::Text, Pattern::Counter, Pattern::Random}) {
        PatternGenerator whole(pattern), pieces(pattern);
        const std::string expected = whole.next(1000);
        std::string joined;
        for (std::size_t size = 1; joined.size() < expected.size(); size = size * 3 % 97)
            joined += pieces.next(std::min(size, expected.size() - joined.size()));
        EXPECT_EQ(joined, expected);
        EXPECT_EQ(pieces.position(), 1000u);
    }
    PatternGenerator text(Pattern::Text);
    EXPECT_EQ(text.next(122), "KM40R 00000000 The quick brown fox jumps over the lazy dog.\r\n"
                              "KM40R 00000001 The quick brown fox jumps over the lazy dog.\r\n");
    EXPECT_EQ(PatternTextLine(100000012), PatternTextLine(12));

    PatternGenerator counter(Pattern::Counter);
    const std::string bytes = counter.next(300);
    EXPECT_EQ(bytes[255], '\xFF');
    EXPECT_EQ(bytes[256], '\x00');
    EXPECT_EQ(bytes[299], '\x2B');

    const std::string random = PatternGenerator(Pattern::Random).next(20000);
    EXPECT_GT(std::set<char>(random.begin(), random.end()).size(), 250u);
}

TEST(PatternGenerator, Names) {
    EXPECT_EQ(ParsePattern("text"), Pattern::Text);
    EXPECT_EQ(ParsePattern("counter"), Pattern::Counter);
    EXPECT_EQ(ParsePattern("random"), Pattern::Random);
    EXPECT_EQ(ParsePattern("Text"), std::nullopt);
}

} // namespace
} // namespace km40r::sim
