#include "catalogue/jet_header.h"
#include "catalogue_test_support.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::JetFixture;
using km40r::test::ReadFile;

TEST(JetHeader, EngineMadeFilesTellTheirPassword) {
    const struct {
        const char* file;
        std::u16string password;
        bool encryptedPages;
    } cases[] = {
        {"mdbreader_password_data_V2000_with-password.mdb", u"password", false},
        {"mdbreader_password_data_V2003_with-password.mdb", u"password", false},
        {"mdbreader_password_data_V2000_no-password.mdb", u"", false},
        {"mdbreader_data_V2003_empty.mdb", u"", false},
        {"jackcess_V2003_testUnicodeCompV2003.mdb", u"", false},
        {"jackcessencrypt_db-enc.mdb", u"", true},
    };
    for (const auto& c : cases) {
        const auto header = jet::ReadHeader(ReadFile(JetFixture(c.file)));
        ASSERT_TRUE(header) << c.file;
        EXPECT_EQ(header->password, c.password) << c.file;
        EXPECT_EQ(header->databaseKey != 0, c.encryptedPages) << c.file;
        EXPECT_GT(header->creationDate, 36000) << c.file; // some day after 1998
    }
}

TEST(JetHeader, PasswordCheckIsExact) {
    const auto with =
        jet::ReadHeader(ReadFile(JetFixture("mdbreader_password_data_V2003_with-password.mdb")));
    const auto without =
        jet::ReadHeader(ReadFile(JetFixture("mdbreader_password_data_V2000_no-password.mdb")));
    ASSERT_TRUE(with && without);
    EXPECT_TRUE(jet::PasswordOpens(*with, "password"));
    for (const char* wrong : {"", "Password", "PASSWORD", "passwor", "password ", " password"})
        EXPECT_FALSE(jet::PasswordOpens(*with, wrong)) << '"' << wrong << '"';
    // A database without a password opens with any password, as with the engine.
    EXPECT_TRUE(jet::PasswordOpens(*without, ""));
    EXPECT_TRUE(jet::PasswordOpens(*without, "password"));
}

TEST(JetHeader, WrittenHeaderKeepsPasswordAndDate) {
    // Turkish letters in 1254 bytes: "şİfre" is FE DD 66 72 65.
    const std::u16string turkish = u"\u015F\u0130fre;\"x";
    const std::u16string longest(jet::kMaxPasswordLength, u'\u011F');
    for (const auto& password : {std::u16string(), turkish, longest}) {
        for (const double date : {45678.75, 1.0, 0.0}) {
            const auto header = jet::ReadHeader(jet::MakeHeaderPage(password, date));
            ASSERT_TRUE(header);
            EXPECT_EQ(header->password, password);
            EXPECT_EQ(header->creationDate, date);
            EXPECT_EQ(header->databaseKey, 0u);
        }
    }
    const auto header = jet::ReadHeader(jet::MakeHeaderPage(turkish, 45678.75));
    EXPECT_TRUE(jet::PasswordOpens(*header, "\xFE\xDD"
                                            "fre;\"x"));
    EXPECT_FALSE(jet::PasswordOpens(*header, "\xFE"
                                             "I"
                                             "fre;\"x"));
}

TEST(JetHeader, OtherFilesAreNotJet4) {
    const std::string jet4 = jet::MakeHeaderPage(u"", 45678.0);
    std::string jet3 = jet4;
    jet3[0x14] = 0x00;
    std::string ace = jet4;
    ace.replace(4, 15, "Standard ACE DB");
    std::string notFirstPage = jet4;
    notFirstPage[0] = 0x01;
    for (const std::string& bytes : {std::string(), jet4.substr(0, jet::kPageSize - 1), jet3, ace,
                                     notFirstPage, std::string(jet::kPageSize, 'x')})
        EXPECT_FALSE(jet::ReadHeader(bytes));
    EXPECT_TRUE(jet::ReadHeader(jet4));
}
