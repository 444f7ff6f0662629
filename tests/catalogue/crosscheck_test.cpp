// Files from our writer, read by two independent readers: libmdb (through
// our reader) and the npm package mdb-reader (a node script). Both must
// give back exactly what was written; mdb-reader also tells NULL from an
// empty text, and decodes the masked password.
//
// The test set-up (./test) installs mdb-reader into build/node-tools.
#include "catalogue/jet_header.h"
#include "catalogue/jet_table_reader.h"
#include "catalogue_test_support.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::ReadFile;
using km40r::test::SourceRow;
using km40r::test::TempDir;

namespace {

// A text as JSON.stringify writes it.
std::string json(const std::optional<std::string>& s) {
    if (!s)
        return "null";
    std::string out = "\"";
    for (const char c : *s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// What the node script must print for a catalogue file.
std::string expectedJson(const std::vector<SourceRow>& rows, const std::string& password) {
    std::string out = "{\"password\":" + (password.empty() ? std::string("null") : json(password)) +
                      ",\"tables\":[\"ayar\"],\"rows\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SourceRow& r = rows[i];
        out += i == 0 ? "" : ",";
        out += "{\"id\":" + std::to_string(r.id == 0 ? i + 1 : r.id);
        out += ",\"grup\":" + json(r.grup) + ",\"ayar\":" + json(r.ayar) +
               ",\"aciklama\":" + json(r.aciklama) + ",\"tur\":" + json(r.tur) +
               ",\"combo\":" + json(r.combo) + ",\"grupaciklama\":" + json(r.grupaciklama) + "}";
    }
    return out + "]}\n";
}

} // namespace

TEST(CrossCheck, WrittenFilesReadTheSameByLibmdbAndMdbReader) {
    const std::string modules = KM40R_NODE_MODULES;
    ASSERT_TRUE(std::filesystem::exists(modules + "/mdb-reader/package.json"))
        << "mdb-reader is not installed in " << modules
        << "; the test set-up in ./test installs it (npm install --prefix build/node-tools)";

    const std::vector<SourceRow> small = {
        {1, "01", "01", "Çıkış ğüşöİ \"tırnak\", virgül\r\nyeni satır\ttab", "Combo",
         "<0:Kapalı>,<1:Açık>", "Genel"},
        {5, "02", "01", "", "Text", std::nullopt, "İletişim"},
        {6, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {7, "9", "x", "Мир 漢字 Ā ĀĀ € ¥ \\", "T", "A", std::string(20, 'z')},
        {8, "01", "02", "a", "", "", ""},
    };
    const auto large = km40r::test::LargeCatalogue(3000);
    const struct {
        const char* name;
        const std::vector<SourceRow>& rows;
        std::string password; // UTF-8
        bool compress;
    } cases[] = {
        {"small compressed", small, "", true},
        {"small uncompressed", small, "şifre;\"x ĞÜ", false},
        {"large compressed", large, "0123456789abcdefghij", true},
        {"large uncompressed", large, "p", false},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.file("c.kmd");
        km40r::test::WriteDatabase(file, {km40r::test::CatalogueWith(c.rows)},
                                   *jet::Utf8ToUcs2(c.password), c.compress);
        if (c.rows.size() > 100) { // many data pages
            EXPECT_GT(std::filesystem::file_size(file), 100 * jet::kPageSize);
        }

        const auto node =
            km40r::test::RunProgram({"node", KM40R_MDB_READER_DUMP, modules, file, "ayar"});
        ASSERT_EQ(node.status, 0) << node.err;
        EXPECT_EQ(node.out, expectedJson(c.rows, c.password));

        std::vector<jet::FieldSpec> fields;
        for (const auto f : kCatalogueFields)
            fields.push_back(
                {std::string(f), f == "id" ? jet::FieldKind::Long : jet::FieldKind::Text});
        const auto libmdb = jet::ReadTable(ReadFile(file), "ayar", fields);
        ASSERT_EQ(libmdb.status, jet::TableContent::Status::Ok) << libmdb.detail;
        ASSERT_EQ(libmdb.rows.size(), c.rows.size());
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            const SourceRow& r = c.rows[i];
            const std::vector<std::string> expected = {std::to_string(r.id == 0 ? i + 1 : r.id),
                                                       r.grup.value_or(""),
                                                       r.ayar.value_or(""),
                                                       r.aciklama.value_or(""),
                                                       r.tur.value_or(""),
                                                       r.combo.value_or(""),
                                                       r.grupaciklama.value_or("")};
            ASSERT_EQ(libmdb.rows[i], expected) << "row " << i;
        }
    }
}
