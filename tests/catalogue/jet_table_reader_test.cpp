// Reading through libmdb in a child process: engine-made files, text
// decoding, page decryption, and damaged files.
#include "catalogue/jet_header.h"
#include "catalogue/jet_table_reader.h"
#include "catalogue_test_support.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::JetFixture;
using km40r::test::ReadFile;
using Status = jet::TableContent::Status;

namespace {

std::vector<jet::FieldSpec> idAnd(const std::string& text) {
    return {{"ID", jet::FieldKind::Long}, {text, jet::FieldKind::Text}};
}

} // namespace

TEST(JetTableReader, DecodesCompressedAndUncompressedUnicode) {
    // Text stored by the engine in both forms, in several scripts.
    const auto content = jet::ReadTable(
        ReadFile(JetFixture("jackcess_V2003_testUnicodeCompV2003.mdb")), "Table", idAnd("Unicode"));
    ASSERT_EQ(content.status, Status::Ok) << content.detail;
    ASSERT_EQ(content.rows.size(), 8u);
    const std::vector<std::vector<std::string>> expected = {
        {"1", "only ascii chars"},
        {"2", "ääkkösiä"},
        {"3", "Мир"},
        {"4", "ϰαὶ τ\u1F79τ' ἐγὼ Κ\u1F7Bϰλωπα"},
        {"5", "漢字仮名交じり文"},
        {"6", "3L9\x1D"
              "52\x02_AB(¥\x05!!V"},
        {"7", "ümlaut"},
    };
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(content.rows[i], expected[i]);
    // The last row holds every character from U+0009 to U+00FF but a few.
    EXPECT_NE(content.rows[7][1].find("0123456789:;<=>?@ABC"), std::string::npos);
    EXPECT_NE(content.rows[7][1].find("ÀÁÂÃÄÅÆÇÈÉ"), std::string::npos);
}

TEST(JetTableReader, ReadsEncryptedPagesAndIgnoresMdbIconv) {
    // MDBICONV would make libmdb return another encoding; the reader clears it.
    ::setenv("MDBICONV", "ISO-8859-1", 1);
    const auto encrypted =
        jet::ReadTable(ReadFile(JetFixture("jackcessencrypt_db-enc.mdb")), "Table1", idAnd("col1"));
    const auto unicode =
        jet::ReadTable(ReadFile(JetFixture("jackcess_V2003_testUnicodeCompV2003.mdb")), "table",
                       idAnd("UNICODE")); // names ignore case
    ::unsetenv("MDBICONV");
    ASSERT_EQ(encrypted.status, Status::Ok) << encrypted.detail;
    EXPECT_EQ(encrypted.rows,
              (std::vector<std::vector<std::string>>{{"1", "hello"}, {"2", "world"}}));
    ASSERT_EQ(unicode.status, Status::Ok) << unicode.detail;
    EXPECT_EQ(unicode.rows[1][1], "ääkkösiä");
}

TEST(JetTableReader, ReportsMissingTableFieldAndType) {
    const std::string file = ReadFile(JetFixture("mdbreader_password_data_V2000_no-password.mdb"));
    EXPECT_EQ(jet::ReadTable(file, "ayar", idAnd("Data")).status, Status::NoTable);
    EXPECT_EQ(jet::ReadTable(file, "MSysObjects", idAnd("Name")).status, Status::Ok);

    const auto noField = jet::ReadTable(file, "Table1", idAnd("grup"));
    EXPECT_EQ(noField.status, Status::NoField);
    EXPECT_EQ(noField.field, "grup");

    const auto wrongType = jet::ReadTable(file, "Table1", {{"Data", jet::FieldKind::Long}});
    EXPECT_EQ(wrongType.status, Status::WrongType);
    EXPECT_EQ(wrongType.field, "Data");
    EXPECT_EQ(wrongType.actualType, "Text");

    const auto rows = jet::ReadTable(file, "Table1", idAnd("Data"));
    EXPECT_EQ(rows.rows,
              (std::vector<std::vector<std::string>>{{"1", "One"}, {"2", "Two"}, {"3", "Three"}}));
}

TEST(JetTableReader, DeadlinePassedKillsTheReader) {
    const std::string file = ReadFile(JetFixture("jackcess_V2003_testUnicodeCompV2003.mdb"));
    jet::ReadLimits limits;
    limits.timeout = std::chrono::milliseconds(0);
    const auto late = jet::ReadTable(file, "Table", idAnd("Unicode"), limits);
    EXPECT_EQ(late.status, Status::Damaged);
    EXPECT_EQ(late.detail, "the reader took too long");

    limits = {};
    limits.maxBytes = 100;
    const auto big = jet::ReadTable(file, "Table", idAnd("Unicode"), limits);
    EXPECT_EQ(big.status, Status::Damaged);
    EXPECT_EQ(big.detail, "the reader sent too much");
}

TEST(JetTableReader, DamagedFilesGiveAnErrorNeverAPartialResult) {
    // A catalogue over many pages, cut short and corrupted in many ways. Each
    // read must come back (the child may crash or loop), and a cut file must
    // never pass for a smaller catalogue.
    km40r::test::TempDir dir;
    km40r::test::WriteDatabase(dir.file("big.kmd"),
                               {km40r::test::CatalogueWith(km40r::test::LargeCatalogue(600))});
    const std::string whole = ReadFile(dir.file("big.kmd"));
    ASSERT_GT(whole.size(), 20 * jet::kPageSize);
    const std::vector<jet::FieldSpec> fields = {{"id", jet::FieldKind::Long},
                                                {"aciklama", jet::FieldKind::Text}};
    ASSERT_EQ(jet::ReadTable(whole, "ayar", fields).rows.size(), 600u);

    for (std::size_t cut = jet::kPageSize; cut < whole.size(); cut += 3 * jet::kPageSize / 2) {
        const auto content = jet::ReadTable(std::string_view(whole).substr(0, cut), "ayar", fields);
        EXPECT_EQ(content.status, Status::Damaged) << "cut at " << cut;
    }

    // Noise over the map page, both table definitions, the catalogue's data
    // page and a data page of "ayar", with a fixed seed.
    unsigned seed = 12345;
    const auto random = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    int damaged = 0;
    for (const std::size_t page : {1u, 2u, 3u, 4u, 7u}) {
        for (int trial = 0; trial < 12; ++trial) {
            std::string bytes = whole;
            for (int k = 0; k < 24; ++k)
                bytes[page * jet::kPageSize + random() % jet::kPageSize] =
                    static_cast<char>(random());
            const auto content = jet::ReadTable(bytes, "ayar", fields);
            if (content.status == Status::Damaged) {
                ++damaged;
            } else if (content.status == Status::Ok) {
                EXPECT_LE(content.rows.size(), 600u);
            }
        }
    }
    EXPECT_GT(damaged, 0);
}
