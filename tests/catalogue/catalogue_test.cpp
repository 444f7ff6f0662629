// The data module's DBBaglan, the connection and the record set tayar, on
// engine-made files and on catalogues written by our writer.
#include "catalogue/catalogue.h"
#include "catalogue_test_support.h"
#include "core/cp1254.h"
#include "core/errors.h"
#include "core/settings_file.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::CatalogueWith;
using km40r::test::FileExists;
using km40r::test::JetFixture;
using km40r::test::ReadFile;
using km40r::test::SourceRow;
using km40r::test::TempDir;
using km40r::test::WriteDatabase;
using km40r::test::WriteFile;

namespace {

// The program's folder is a temporary one, with DB.ini and the database in it.
class CatalogueTest : public testing::Test {
protected:
    void SetUp() override { useFolder(dir.path()); }
    void TearDown() override { SetExecutablePath({}); }

    void useFolder(const std::string& folder) {
        programDir = folder;
        SetExecutablePath(folder + "/km40r");
    }
    std::string dbPath() const { return programDir + "/km400.kmd"; }
    void setPassword(const std::string& cp1254) {
        WriteFile(programDir + "/DB.ini", "[DB]\r\nsifre=" + cp1254 + "\r\n");
    }

    // The message of the error that DBBaglan and then tayar.open() raise,
    // or "" when both succeed, as at start-up.
    std::string openError() {
        tayar.close();
        try {
            fm.DBBaglan(dbPath());
            tayar.open();
        } catch (const EDatabaseError& e) {
            EXPECT_FALSE(tayar.active());
            return e.what();
        }
        return {};
    }

    TempDir dir;
    std::string programDir;
    Tfm fm;
    CatalogueRecordSet tayar{fm.DB};
};

std::vector<std::string> column(const CatalogueRecordSet& rs, std::string_view field) {
    std::vector<std::string> out;
    for (const auto& r : rs.records())
        out.push_back(r.field(std::find(kCatalogueFields.begin(), kCatalogueFields.end(), field) -
                              kCatalogueFields.begin()));
    return out;
}

} // namespace

TEST_F(CatalogueTest, PasswordFromDbIni) {
    const std::string withPassword = JetFixture("mdbreader_password_data_V2000_with-password.mdb");
    const std::string noPassword = JetFixture("mdbreader_password_data_V2000_no-password.mdb");
    const std::string noTable = "The database engine cannot find the input table or query 'ayar'. "
                                "Make sure it exists and that its name is spelled correctly.";
    const struct {
        const std::string& file;
        const char* iniContent; // nullptr: no DB.ini
        std::string expected;
    } cases[] = {
        // The engine-made files hold no "ayar": getting that far means the
        // password was taken.
        {withPassword, "[DB]\r\nsifre=password\r\n", noTable},
        {withPassword, "[DB]\r\nsifre=Password\r\n", "Not a valid password."},
        {withPassword, "[DB]\r\nsifre=\r\n", "Not a valid password."},
        {withPassword, nullptr, "Not a valid password."},
        {noPassword, nullptr, noTable},
        {noPassword, "[DB]\r\nsifre=password\r\n", noTable}, // accepted, as by the engine
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.file("DB.ini"));
        if (c.iniContent != nullptr)
            WriteFile(dir.file("DB.ini"), c.iniContent);
        std::filesystem::remove(dbPath());
        std::filesystem::copy_file(c.file, dbPath());
        EXPECT_EQ(openError(), c.expected)
            << c.file << " / " << (c.iniContent ? c.iniContent : "-");
        if (c.iniContent == nullptr) { // a first start writes the empty default
            EXPECT_EQ(ReadFile(dir.file("DB.ini")), "[DB]\r\nsifre=\r\n");
        }
    }
}

TEST_F(CatalogueTest, AnyPathAndAnyPasswordOpen) {
    // Characters that broke the provider's connection string: ; " = and
    // blanks, in the folder and in the password (code page 1254 in DB.ini).
    const std::string folder = dir.file("a;b \"c\" Data Source=x; şç");
    std::filesystem::create_directory(folder);
    useFolder(folder);
    WriteDatabase(dbPath(), {CatalogueWith({{0, "01", "01", "Ad", "Text", {}, "Genel"}})},
                  u"p;w\"d=\u015F");
    setPassword("p;w\"d=\xFE");
    EXPECT_EQ(openError(), "");
    EXPECT_EQ(tayar.fieldByName("aciklama"), "Ad");
    setPassword("p;w\"d=s");
    EXPECT_EQ(openError(), "Not a valid password.");
}

TEST_F(CatalogueTest, FilesThatAreNotCatalogues) {
    const std::string quoted = "'" + Utf8ToCp1254(dbPath()) + "'";
    setPassword("");
    EXPECT_EQ(openError(), "Could not find file " + quoted + ".");

    std::filesystem::create_directory(dbPath());
    EXPECT_EQ(openError(), "The database engine cannot open the file " + quoted +
                               ". It is already opened exclusively by another user, or you "
                               "need permission to view its data.");
    std::filesystem::remove(dbPath());

    for (const std::string& content :
         {std::string(), std::string("id,grup\r\n"), std::string(8192, '\0')}) {
        WriteFile(dbPath(), content);
        EXPECT_EQ(openError(), "Unrecognized database format " + quoted + ".");
    }

    // A Jet 4 file whose pages after the header are lost.
    WriteFile(dbPath(), ReadFile(JetFixture("mdbreader_data_V2003_empty.mdb")).substr(0, 3 * 4096));
    EXPECT_EQ(openError(),
              "The database " + quoted + " needs to be repaired or isn't a database file.");

    // Tables that are not the catalogue.
    jet::Table other = CatalogueWith({});
    other.name = "ayarlar";
    WriteDatabase(dbPath(), {other});
    EXPECT_EQ(openError(), "The database engine cannot find the input table or query 'ayar'. "
                           "Make sure it exists and that its name is spelled correctly.");
    jet::Table noCombo = CatalogueWith({});
    noCombo.columns.erase(noCombo.columns.begin() + 5);
    WriteDatabase(dbPath(), {noCombo});
    EXPECT_EQ(openError(), "tayar: Field 'combo' not found");
    jet::Table longGroup = CatalogueWith({});
    longGroup.columns[1].type = jet::ColumnType::Long;
    WriteDatabase(dbPath(), {longGroup});
    EXPECT_EQ(openError(),
              "tayar: Type mismatch for field 'grup', expecting: Text actual: Long Integer");

    CatalogueConnection closed;
    CatalogueRecordSet notConnected(closed);
    EXPECT_THROW(notConnected.open(), EDatabaseError);
}

TEST_F(CatalogueTest, QueryOrderAndTextConversion) {
    // Codes sorted by byte value of the 1254 text ("Ç" is C7, after "Z"
    // and "a"); equal codes keep the table's order.
    WriteDatabase(dbPath(), {CatalogueWith({
                                {0, "02", "01", "B first", "Combo", "<0:Kapalı>,<1:Açık>", "İki"},
                                {0, "01", "10", "A 10", "Text", {}, "Bir"},
                                {0, "Ç1", "01", "Turkish code", "Text", "", "Ç"},
                                {0, "01", "02", "A 02", "Text", "", "Bir"},
                                {0, "02", "01", "B second", "Text", {}, "İki"},
                                {0, "a1", "01", "lower", "Text", {}, "x"},
                                {0, "Z1", "01", "upper", {}, {}, "x"},
                                {0, {}, "05", "no group", "Text", {}, {}},
                                {0, "01", "03", "Мир ¥ €", "Text", {}, "Bir"},
                            })});
    setPassword("");
    ASSERT_EQ(openError(), "");
    EXPECT_EQ(column(tayar, "aciklama"),
              (std::vector<std::string>{"no group", "A 02", "??? \xA5 \x80", "A 10", "B first",
                                        "B second", "upper", "lower", "Turkish code"}));
    EXPECT_EQ(column(tayar, "id"),
              (std::vector<std::string>{"8", "4", "9", "2", "1", "5", "7", "6", "3"}));
    // Texts come as code page 1254; NULL and empty read as empty.
    tayar.moveTo(4);
    EXPECT_EQ(tayar.fieldByName("combo"), "<0:Kapal\xFD>,<1:A\xE7\xFDk>");
    EXPECT_EQ(tayar.fieldByName("grupaciklama"), "\xDDki");
    tayar.moveTo(8);
    EXPECT_EQ(tayar.fieldByName("grup"), "\xC7"
                                         "1");
    EXPECT_EQ(tayar.fieldByName("combo"), "");
    tayar.moveTo(6);
    EXPECT_EQ(tayar.fieldByName("tur"), "");
}

TEST_F(CatalogueTest, CurrentRowAndFieldsByName) {
    WriteDatabase(dbPath(), {CatalogueWith({{7, "01", "02", "Second", "Text", {}, "G"},
                                            {3, "01", "01", "First", "Combo", "1:a", "G"}})});
    setPassword("");
    // Closed: no current row, every field reads empty.
    EXPECT_EQ(tayar.fieldByName("grup"), "");
    EXPECT_FALSE(tayar.recNo());
    ASSERT_EQ(openError(), "");
    ASSERT_EQ(tayar.recordCount(), 2u);

    // Open makes the first row of the query current.
    EXPECT_EQ(tayar.recNo(), 0u);
    EXPECT_FALSE(tayar.eof());
    EXPECT_EQ(tayar.fieldByName("id"), "3");
    EXPECT_EQ(tayar.fieldByName("GRUP") + tayar.fieldByName("Ayar"), "0101");
    tayar.next();
    EXPECT_EQ(tayar.fieldByName("aciklama"), "Second");
    EXPECT_FALSE(tayar.eof());
    tayar.next(); // past the last row: eof, and the last row stays current
    EXPECT_TRUE(tayar.eof());
    EXPECT_EQ(tayar.fieldByName("aciklama"), "Second");
    tayar.first();
    EXPECT_EQ(tayar.fieldByName("combo"), "1:a");
    tayar.moveTo(1);
    EXPECT_EQ(tayar.fieldByName("tur"), "Text");
    EXPECT_THROW(tayar.moveTo(2), EListError);
    try {
        tayar.fieldByName("deger");
        ADD_FAILURE() << "an unknown field was read";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "tayar: Field 'deger' not found");
    }
    tayar.close();
    EXPECT_EQ(tayar.fieldByName("aciklama"), "");
    EXPECT_TRUE(tayar.records().empty());

    // An empty catalogue: at the end at once, every field empty.
    WriteDatabase(dbPath(), {CatalogueWith({})});
    ASSERT_EQ(openError(), "");
    EXPECT_TRUE(tayar.eof());
    EXPECT_FALSE(tayar.recNo());
    EXPECT_EQ(tayar.fieldByName("grup"), "");
}

TEST_F(CatalogueTest, LargeCatalogueReadsBackAsWritten) {
    // Thousands of rows over many pages, with texts compressed and not.
    const auto source = km40r::test::LargeCatalogue(3000);
    for (const bool compress : {true, false}) {
        WriteDatabase(dbPath(), {CatalogueWith(source)}, u"gizli", compress);
        setPassword("gizli");
        ASSERT_EQ(openError(), "");
        ASSERT_EQ(tayar.recordCount(), source.size());

        std::vector<std::size_t> order(source.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return std::pair(*source[a].grup, *source[a].ayar) <
                   std::pair(*source[b].grup, *source[b].ayar);
        });
        for (std::size_t i = 0; i < order.size(); ++i) {
            const SourceRow& s = source[order[i]];
            const CatalogueRecord& r = tayar.records()[i];
            ASSERT_EQ(r.id, std::to_string(order[i] + 1)) << i;
            ASSERT_EQ(r.grup, *s.grup);
            ASSERT_EQ(r.ayar, *s.ayar);
            ASSERT_EQ(r.aciklama, Utf8ToCp1254(s.aciklama.value_or(""))) << i;
            ASSERT_EQ(r.tur, *s.tur);
            ASSERT_EQ(r.combo, Utf8ToCp1254(s.combo.value_or("")));
            ASSERT_EQ(r.grupaciklama, *s.grupaciklama);
        }
    }
}
