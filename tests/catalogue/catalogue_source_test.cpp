// The CSV source of a catalogue, and the catalogue tool that builds and
// dumps databases with it.
#include "catalogue/catalogue_source.h"
#include "catalogue_test_support.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::FileExists;
using km40r::test::ReadFile;
using km40r::test::RunProgram;
using km40r::test::TempDir;
using km40r::test::WriteFile;

namespace {

const std::string kHeader = "id,grup,ayar,aciklama,tur,combo,grupaciklama\r\n";

std::string sourceError(const std::string& csv) {
    try {
        CatalogueTableFromCsv(csv);
    } catch (const ECatalogueSourceError& e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST(CatalogueSource, CsvQuotingAndNulls) {
    const std::string csv = "\xEF\xBB\xBF"
                            "grup,ayar,aciklama,tur,combo,grupaciklama\n"
                            "01,01,\"Satır\r\nikinci \"\"satır\"\"\",Combo,\"<0:a>,<1:b>\",G\r\n"
                            "\r\n"
                            "01,02,,\"\",x,G";
    const auto records = ParseCsv(csv.substr(3));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].line, 2u);
    EXPECT_EQ(records[2].line, 5u); // the quoted line break counts; the blank line is skipped
    EXPECT_EQ(records[1].fields[2].text, "Satır\r\nikinci \"satır\"");

    const jet::Table table = CatalogueTableFromCsv(csv);
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(std::get<std::int64_t>(table.rows[0][0]), 1);
    EXPECT_EQ(std::get<std::string>(table.rows[0][5]), "<0:a>,<1:b>");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(table.rows[1][3])); // NULL
    EXPECT_EQ(std::get<std::string>(table.rows[1][4]), "");                // empty text

    EXPECT_EQ(CsvLine({"a", "b,c", "say \"hi\"", "", "x\ny"}),
              "a,\"b,c\",\"say \"\"hi\"\"\",,\"x\ny\"\r\n");
}

TEST(CatalogueSource, IdsAreKeptOrNumberedAfterTheHighest) {
    const jet::Table table = CatalogueTableFromCsv(kHeader + ",01,01,a,Text,,G\r\n"
                                                             "7,01,02,b,Text,,G\r\n"
                                                             ",01,03,c,Text,,G\r\n");
    EXPECT_EQ(std::get<std::int64_t>(table.rows[0][0]), 8);
    EXPECT_EQ(std::get<std::int64_t>(table.rows[1][0]), 7);
    EXPECT_EQ(std::get<std::int64_t>(table.rows[2][0]), 9);
}

TEST(CatalogueSource, RefusesWhatCannotBeACatalogue) {
    const std::string row = "01,01,a,Text,,G\r\n";
    const std::string names = "grup,ayar,aciklama,tur,combo,grupaciklama\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "line 1: the header record naming the fields is missing"},
        {"grup,ayar,aciklama,tur,combo\r\n", "line 1: field 'grupaciklama' is missing"},
        {"grup,ayar,aciklama,tur,combo,grupaciklama,deger\r\n",
         "line 1: 'deger' is not a field of the catalogue"},
        {"grup,grup,ayar,aciklama,tur,combo,grupaciklama\r\n",
         "line 1: field 'grup' is named twice"},
        {names + row + "01,02,a,Text,G\r\n", "line 3, row 2: 5 fields, the header names 6"},
        {names + "012,01,a,Text,,G\r\n",
         "line 2, row 1, field 'grup': 3 characters, the field holds at most 2"},
        {names + "01,01,a,Text,," + std::string(21, 'x') + "\r\n",
         "line 2, row 1, field 'grupaciklama': 21 characters, the field holds at most 20"},
        {names + "01,01," + std::string(256, 'x') + ",Text,,G\r\n",
         "line 2, row 1, field 'aciklama': 256 characters, the field holds at most 255"},
        {names + "01,01,a,TextTextTex,,G\r\n",
         "line 2, row 1, field 'tur': 11 characters, the field holds at most 10"},
        {names + "01,01,\xC3,Text,,G\r\n", "line 2, row 1, field 'aciklama': not valid UTF-8, or "
                                           "a character outside the Basic Multilingual Plane"},
        {names + "01,01,\xF0\x9F\x98\x80,Text,,G\r\n",
         "line 2, row 1, field 'aciklama': not valid UTF-8, or a character outside the Basic "
         "Multilingual Plane"},
        {kHeader + "0,01,01,a,Text,,G\r\n",
         "line 2, row 1, field 'id': '0' is not a whole number from 1 to 2147483647"},
        {kHeader + "x,01,01,a,Text,,G\r\n",
         "line 2, row 1, field 'id': 'x' is not a whole number from 1 to 2147483647"},
        {kHeader + "5,01,01,a,Text,,G\r\n5,01,02,a,Text,,G\r\n",
         "line 3, row 2, field 'id': id 5 is given twice"},
        {names + "01,01,\"a,Text,,G\r\n", "line 2: a quoted field is not closed"},
        {names + "01,01,\"a\"b,Text,,G\r\n", "line 2: characters after a closing quote"},
        {names + "01,01,a\"b,Text,,G\r\n",
         "line 2: a quote inside a field that does not start with one"},
    };
    for (const auto& [csv, message] : cases)
        EXPECT_EQ(sourceError(csv), message) << csv;
    // Turkish letters count as one character each.
    EXPECT_EQ(sourceError(names + "01,01,a,Text,," + "ĞÜŞİÖÇğüşıöç12345678" + "\r\n"), "");
}

TEST(CatalogueTool, BuildThenDumpAsTheProgramSeesIt) {
    TempDir dir;
    const std::string tool = KM40R_CATALOGUE_TOOL;
    WriteFile(dir.file("s.csv"), "grup,ayar,aciklama,tur,combo,grupaciklama\n"
                                 "02,01,Hız,Combo,\"<0:9600>,<1:19200>\",İletişim\n"
                                 "01,01,\"Ad, \"\"uzun\"\"\",Text,,Genel\n"
                                 "01,02,Мир,Text,\"\",Genel\n");
    const auto built = RunProgram(
        {tool, "build", dir.file("s.csv"), "-o", dir.file("c.kmd"), "--password", "şifre;\"x"});
    ASSERT_EQ(built.status, 0) << built.err;

    const std::string expected = kHeader + "2,01,01,\"Ad, \"\"uzun\"\"\",Text,,Genel\r\n"
                                           "3,01,02,???,Text,,Genel\r\n"
                                           "1,02,01,Hız,Combo,\"<0:9600>,<1:19200>\",İletişim\r\n";
    const auto given = RunProgram({tool, "dump", dir.file("c.kmd"), "--password", "şifre;\"x"});
    EXPECT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(given.out, expected);

    // Without --password: DB.ini in the file's folder, read and never written.
    const auto missing = RunProgram({tool, "dump", dir.file("c.kmd")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Not a valid password.\n");
    EXPECT_FALSE(FileExists(dir.file("DB.ini")));
    WriteFile(dir.file("DB.ini"), "[DB]\r\nsifre=\xFEifre;\"x\r\n"); // code page 1254
    const auto fromIni = RunProgram({tool, "dump", dir.file("c.kmd")});
    EXPECT_EQ(fromIni.status, 0) << fromIni.err;
    EXPECT_EQ(fromIni.out, expected);
    EXPECT_EQ(ReadFile(dir.file("DB.ini")), "[DB]\r\nsifre=\xFEifre;\"x\r\n");
}

TEST(CatalogueTool, ErrorsExitWithOne) {
    TempDir dir;
    const std::string tool = KM40R_CATALOGUE_TOOL;
    WriteFile(dir.file("bad.csv"), "grup,ayar,aciklama,tur,combo,grupaciklama\n01,001,a,Text,,G\n");
    const auto tooLong = RunProgram({tool, "build", dir.file("bad.csv"), "-o", dir.file("x.kmd")});
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_EQ(tooLong.err,
              "line 2, row 1, field 'ayar': 3 characters, the field holds at most 2\n");
    EXPECT_FALSE(FileExists(dir.file("x.kmd")));

    const auto notFound = RunProgram({tool, "dump", dir.file("none.kmd"), "--password", ""});
    EXPECT_EQ(notFound.status, 1);
    EXPECT_EQ(notFound.err, "Could not find file '" + dir.file("none.kmd") + "'.\n");

    const auto noTable =
        RunProgram({tool, "dump", km40r::test::JetFixture("mdbreader_data_V2003_empty.mdb")});
    EXPECT_EQ(noTable.status, 1);
    EXPECT_NE(noTable.err.find("cannot find the input table or query 'ayar'"), std::string::npos);

    // A file cut after a whole page: libmdb's own complaints stay out of
    // the way, only the program's message shows.
    WriteFile(dir.file("cut.kmd"), ReadFile(KM40R_SAMPLE_CATALOGUE).substr(0, 5 * 4096));
    const auto cut = RunProgram({tool, "dump", dir.file("cut.kmd"), "--password", ""});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "The database '" + dir.file("cut.kmd") +
                           "' needs to be repaired or isn't a database file.\n");

    EXPECT_EQ(RunProgram({tool, "dump"}).status, 2);
    EXPECT_EQ(RunProgram({tool, "build", dir.file("bad.csv")}).status, 2);
}

TEST(CatalogueTool, SampleCatalogueBesideTheProgram) {
    // The build makes km400.kmd next to the program; it opens without a
    // password and holds list and text settings in several groups.
    const auto dump =
        RunProgram({KM40R_CATALOGUE_TOOL, "dump", KM40R_SAMPLE_CATALOGUE, "--password", ""});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.out.substr(0, kHeader.size()), kHeader);
    EXPECT_NE(dump.out.find(",Combo,\"<0:Kapalı>,<1:Açık>\","), std::string::npos);
    EXPECT_NE(dump.out.find(",Text,,"), std::string::npos);
    for (const char* group : {"Haberleşme", "Girişler", "Çıkışlar", "Alarmlar", "Zaman"})
        EXPECT_NE(dump.out.find(group), std::string::npos) << group;
}
