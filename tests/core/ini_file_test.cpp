#include "core/errors.h"
#include "core/ini_file.h"
#include "support/permissions.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace km40r;
using km40r::test::PermissionsBind;
using km40r::test::ReadFile;
using km40r::test::TempDir;
using km40r::test::WriteFile;

TEST(ProfileGet, WindowsProfileSyntax) {
    const std::string file = "; comment line\r\n"
                             "[com]\r\n"
                             "port=COM3\r\n"
                             "  Baud  =  19200  \r\n"
                             "quoted=\"  padded  \"\r\n"
                             "single='x'\r\n"
                             "halfquote=\"x\r\n"
                             "empty=\r\n"
                             ";port=COM9\r\n"
                             "junk line without equals\r\n"
                             "tabbed\t=\tv\t\r\n"
                             "eq=a=b\r\n"
                             "[ Ayar ]\n"
                             "chhex=-1\r"
                             "dup=first\n"
                             "dup=second\n"
                             "[com]\n"
                             "port=COM7\n"
                             "later=only in second\n"
                             "[makro]\n"
                             "makro1=M\xFD\xF0\xFE\xDD\n"
                             "last=no line break";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"com", "port", "COM3"},         // first section, first key win
        {"COM", "PORT", "COM3"},         // names ignore letter case
        {"com", "baud", "19200"},        // blanks around names and values
        {"com", "quoted", "  padded  "}, // a pair of quotes is taken off
        {"com", "single", "x"},
        {"com", "halfquote", "\"x"}, // unmatched quote stays
        {"com", "empty", ""},
        {"com", "tabbed", "v"},
        {"com", "eq", "a=b"}, // the first '=' splits
        {"com", "later", ""}, // a repeated section is not read
        {"com", "missing", ""},
        {"ayar", "chhex", "-1"}, // lone LF and lone CR end lines
        {"ayar", "dup", "first"},
        {"makro", "makro1", "M\xFD\xF0\xFE\xDD"}, // 1254 bytes as they are
        {"makro", "last", "no line break"},
        {"nosection", "port", ""},
    };
    for (const auto& [section, key, expected] : cases)
        EXPECT_EQ(ProfileGet(file, section, key), expected) << section << "/" << key;
}

TEST(ProfileSet, ChangesOnlyTheEntryAndKeepsEverythingElse) {
    const std::string file = "; keep me\r\n[com]\r\nPort = COM3\r\nbaud=9600\r\n\r\n[other]\nx=1\n";
    EXPECT_EQ(ProfileSet(file, "COM", "port", "COM4"),
              "; keep me\r\n[com]\r\nPort=COM4\r\nbaud=9600\r\n\r\n[other]\nx=1\n");
    // A new key goes after the last entry of its section.
    EXPECT_EQ(ProfileSet(file, "com", "parity", "Yok"),
              "; keep me\r\n[com]\r\nPort = COM3\r\nbaud=9600\r\nparity=Yok\r\n\r\n[other]\nx=1\n");
    // A new section goes at the end.
    EXPECT_EQ(ProfileSet(file, "makro", "makro1", ""), file + "[makro]\r\nmakro1=\r\n");
    EXPECT_EQ(ProfileSet("", "com", "port", "COM1"), "[com]\r\nport=COM1\r\n");
    EXPECT_EQ(ProfileSet("[a]\r\nk=v", "a", "n", "w"), "[a]\r\nk=v\r\nn=w\r\n");
    EXPECT_EQ(ProfileSet("[a]", "a", "n", "w"), "[a]\r\nn=w\r\n");
    EXPECT_EQ(ProfileSet("x=1", "a", "n", "w"), "x=1\r\n[a]\r\nn=w\r\n");
}

TEST(ProfileSet, EveryValueReadsBackExactly) {
    const std::string values[] = {
        "",           "plain",    "  leading", "trailing  ", "\tTab",
        "\"quoted\"", "'single'", "\"half",    "a=b;c",      "\xFD\xF0\xFE\xDD\xD0\xDE",
        "\"",         " ",
    };
    for (const auto& v : values) {
        const std::string file = ProfileSet("[s]\r\nk=old\r\n", "s", "k", v);
        EXPECT_EQ(ProfileGet(file, "s", "k"), v) << file;
    }
    // Line breaks cannot live in a value; they never create entries or sections.
    const std::string file = ProfileSet("", "s", "k", "a\r\n[evil]\nx=1");
    EXPECT_EQ(ProfileGet(file, "s", "k"), "a  [evil] x=1");
    EXPECT_EQ(ProfileGet(file, "evil", "x"), "");
}

TEST(ProfileGet, GarbageNeverCrashesAndReadsAsMissing) {
    std::string garbage;
    unsigned state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245u + 12345u;
        garbage += static_cast<char>(state >> 24);
    }
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{777}, garbage.size()}) {
        const std::string part = garbage.substr(0, cut);
        ProfileGet(part, "com", "port");
        const std::string written = ProfileSet(part, "com", "port", "COM1");
        EXPECT_EQ(ProfileGet(written, "com", "port"), "COM1");
    }
    EXPECT_EQ(ProfileGet("[com\nport=COM5", "com", "port"), "COM5"); // unterminated header
    EXPECT_EQ(ProfileGet(std::string("[com]\0\nport=1\n", 14), "com", "port"), "1");
}

TEST(ProfileFile, WritesCreateAndUpdateTheFileOnDisk) {
    TempDir dir;
    const std::string path = dir.file("settings.ini");
    EXPECT_EQ(ReadProfileString(path, "com", "port"), ""); // missing file
    WriteProfileString(path, "com", "port", "COM1");
    WriteProfileString(path, "com", "baud", "9600");
    WriteProfileString(path, "com", "port", "COM2");
    EXPECT_EQ(ReadFile(path), "[com]\r\nport=COM2\r\nbaud=9600\r\n");
    EXPECT_EQ(ReadProfileString(path, "com", "port"), "COM2");
    // Nothing but the file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(ProfileFile, LongValuesReadBackCutTo2047Characters) {
    TempDir dir;
    const std::string path = dir.file("s.ini");
    std::string value(3000, 'a');
    value[2046] = 'Z';
    value[2047] = 'Q';
    WriteProfileString(path, "s", "k", value);
    EXPECT_EQ(ReadFile(path), "[s]\r\nk=" + value + "\r\n"); // stored whole
    const std::string read = ReadProfileString(path, "s", "k");
    EXPECT_EQ(read.size(), 2047u);
    EXPECT_EQ(read.back(), 'Z');
}

TEST(ProfileFile, KeepsModeAndWritesThroughSymbolicLinks) {
    TempDir dir;
    const std::string real = dir.file("real.ini");
    WriteFile(real, "[s]\r\nk=1\r\n");
    ::chmod(real.c_str(), 0640);
    const std::string link = dir.file("link.ini");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    WriteProfileString(link, "s", "k", "2");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[s]\r\nk=2\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(ProfileFile, UnwritablePlacesFailWithTheFullPath) {
    TempDir dir;
    // A directory where the file should be, and a directory that does not exist.
    const std::string isDir = dir.file("taken.ini");
    std::filesystem::create_directory(isDir);
    const std::string noDir = dir.file("missing/s.ini");
    for (const std::string& path : {isDir, noDir}) {
        try {
            WriteProfileString(path, "s", "k", "v");
            ADD_FAILURE() << "wrote " << path;
        } catch (const EIniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(isDir));
}

TEST(ProfileFile, ReadOnlyFileOrDirectoryIsNotChanged) {
    const PermissionsBind permissions; // also for root
    ASSERT_TRUE(permissions.binds()) << permissions.why();
    TempDir dir;
    const std::string path = dir.file("ro.ini");
    WriteFile(path, "[s]\r\nk=1\r\n");
    ::chmod(path.c_str(), 0444);
    EXPECT_THROW(WriteProfileString(path, "s", "k", "2"), EIniFileError);
    EXPECT_EQ(ReadFile(path), "[s]\r\nk=1\r\n");
    ::chmod(path.c_str(), 0644);
    ::chmod(dir.path().c_str(), 0555);
    EXPECT_THROW(WriteProfileString(path, "s", "k", "2"), EIniFileError);
    EXPECT_THROW(WriteProfileString(dir.file("new.ini"), "s", "k", "2"), EIniFileError);
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(ReadFile(path), "[s]\r\nk=1\r\n");
}
