#include "core/cp1254.h"

#include <gtest/gtest.h>

using namespace km40r;

TEST(Cp1254, EveryDefinedByteRoundTripsThroughUnicode) {
    int undefined = 0;
    for (int b = 0; b < 256; ++b) {
        const char16_t u = Cp1254ToUnicode(static_cast<unsigned char>(b));
        if (u == 0xFFFD) {
            ++undefined;
            continue;
        }
        EXPECT_EQ(UnicodeToCp1254(u), b) << b;
    }
    EXPECT_EQ(undefined, 7); // 0x81, 0x8D, 0x8E, 0x8F, 0x90, 0x9D and 0x9E
}

TEST(Cp1254, TurkishLettersAndSpecials) {
    const std::pair<unsigned char, char16_t> cases[] = {
        {0xD0, u'Ğ'}, {0xDD, u'İ'}, {0xDE, u'Ş'}, {0xF0, u'ğ'}, {0xFD, u'ı'}, {0xFE, u'ş'},
        {0xC7, u'Ç'}, {0xE7, u'ç'}, {0xD6, u'Ö'}, {0xFC, u'ü'}, {0x80, u'€'}, {0x9F, u'Ÿ'},
        {0x8A, u'Š'}, {0x41, u'A'}, {0x00, u'\0'},
    };
    for (const auto& [byte, ch] : cases) {
        EXPECT_EQ(Cp1254ToUnicode(byte), ch) << int(byte);
        EXPECT_EQ(UnicodeToCp1254(ch), byte) << int(byte);
    }
    // Characters that the code page lacks, including Latin-1 letters whose
    // byte holds a Turkish letter here.
    for (char32_t ch : {U'Ð', U'Ý', U'Þ', U'ð', U'ý', U'þ', U'\u0081', U'Ж', U'😀'})
        EXPECT_EQ(UnicodeToCp1254(ch), -1);
}

TEST(Cp1254, Utf8Conversions) {
    EXPECT_EQ(Cp1254ToUtf8("KM40R Ayar Program\xFD"), "KM40R Ayar Programı");
    EXPECT_EQ(Utf8ToCp1254("Bağlantı Kesildi"), "Ba\xF0lant\xFD Kesildi");
    EXPECT_EQ(Utf8ToCp1254("Ж😀"), "??");
    EXPECT_EQ(Utf8ToCp1254("a\xC3"), "a?"); // truncated sequence
    EXPECT_EQ(Utf8ToCp1254("\xFF" "b"), "?b");
}
