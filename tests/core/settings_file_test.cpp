#include "core/errors.h"
#include "core/settings_file.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::FileExists;
using km40r::test::ReadFile;
using km40r::test::TempDir;
using km40r::test::WriteFile;

namespace {

class SettingsFileTest : public testing::Test {
protected:
    void SetUp() override { SetExecutablePath(dir.file("km40r")); }
    void TearDown() override { SetExecutablePath({}); }
    TempDir dir;
};

} // namespace

TEST(IniFilePath, NamedAfterTheExecutable) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"/opt/km/km40r", "", "/opt/km/km40r.ini"},           // no extension: appended
        {"/opt/km/km40r.exe", "", "/opt/km/km40r.ini"},       // extension replaced
        {"/opt/my.app/km40r", "", "/opt/my.app/km40r.ini"},   // a dot in the folder name
        {"/opt/my.app/km.40r.bin", "", "/opt/my.app/km.40r.ini"},
        {"/opt/km/km40r", "DB", "/opt/km/DB.ini"},            // base names: the same folder
        {"/opt/km/anything.else", "DB", "/opt/km/DB.ini"},
    };
    for (const auto& [exe, base, expected] : cases) {
        SetExecutablePath(exe);
        EXPECT_EQ(IniFilePath(base), expected) << exe;
        EXPECT_EQ(ExecutableDirectory(), exe.substr(0, exe.rfind('/') + 1));
    }
    SetExecutablePath({});
    EXPECT_TRUE(std::filesystem::exists(ExecutablePath())); // the real one
}

TEST_F(SettingsFileTest, MissingValueReadsAsDefaultAndIsWrittenBack) {
    EXPECT_EQ(ReadIniValue("com", "port", "COM1"), "COM1");
    EXPECT_EQ(ReadIniValue("ayar", "cxbaslangic", ""), ""); // an empty default is written too
    EXPECT_EQ(ReadFile(dir.file("km40r.ini")), "[com]\r\nport=COM1\r\n[ayar]\r\ncxbaslangic=\r\n");
    // A stored value wins; an empty stored value is replaced by the default.
    WriteFile(dir.file("km40r.ini"), "[com]\r\nport=COM5\r\nbaud=\r\n");
    EXPECT_EQ(ReadIniValue("com", "port", "COM1"), "COM5");
    EXPECT_EQ(ReadIniValue("com", "baud", "9600"), "9600");
    EXPECT_EQ(ReadFile(dir.file("km40r.ini")), "[com]\r\nport=COM5\r\nbaud=9600\r\n");
}

TEST_F(SettingsFileTest, NoCachingBetweenCalls) {
    WriteIniValue("makro", "makro1", "first");
    EXPECT_EQ(ReadIniValue("makro", "makro1", ""), "first");
    // Another program changes the file between two calls.
    WriteFile(dir.file("km40r.ini"), "[makro]\r\nmakro1=second\r\n");
    EXPECT_EQ(ReadIniValue("makro", "makro1", ""), "second");
}

TEST_F(SettingsFileTest, TurkishTextIsStoredByteForByte) {
    const std::string value = "  \xD0\xDD\xDE\xF0\xFD\xFE \xC7\xE7\xD6\xF6\xDC\xFC \x80";
    WriteIniValue("makro", "makro7", value);
    EXPECT_EQ(ReadFile(dir.file("km40r.ini")), "[makro]\r\nmakro7=\"" + value + "\"\r\n");
    EXPECT_EQ(ReadIniValue("makro", "makro7", ""), value);
}

TEST_F(SettingsFileTest, OtherIniFilesLiveInTheExecutablesDirectory) {
    EXPECT_EQ(ReadIniValue("DB", "sifre", "", "DB"), "");
    EXPECT_EQ(ReadFile(dir.file("DB.ini")), "[DB]\r\nsifre=\r\n");
    EXPECT_FALSE(FileExists(dir.file("km40r.ini")));
}

TEST_F(SettingsFileTest, UnwritableFileStopsWithUnableToWrite) {
    std::filesystem::create_directory(dir.file("km40r.ini"));
    try {
        ReadIniValue("com", "port", "COM1");
        ADD_FAILURE();
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("km40r.ini"));
    }
    EXPECT_THROW(WriteIniValue("com", "port", "COM1"), EIniFileError);
}

TEST(InvokedExecutablePath, ALinkKeepsTheProgramsFilesBesideItself) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("real"));
    std::filesystem::create_directories(dir.file("user"));
    WriteFile(dir.file("real/km40r"), "program");
    std::filesystem::create_symlink(dir.file("real/km40r"), dir.file("user/km40r"));
    std::filesystem::create_directory_symlink(dir.file("user"), dir.file("alias"));
    const std::string real = std::filesystem::canonical(dir.path()).string();
    EXPECT_EQ(InvokedExecutablePath(dir.file("user/km40r").c_str()), real + "/user/km40r");
    // Folders resolve; the last part stays as given.
    EXPECT_EQ(InvokedExecutablePath(dir.file("alias/km40r").c_str()), real + "/user/km40r");
    EXPECT_EQ(InvokedExecutablePath((dir.file("user") + "/../user/km40r").c_str()),
              real + "/user/km40r");
    // A bare name (found on PATH), a missing folder or nothing: the running image.
    const std::string image = std::filesystem::canonical("/proc/self/exe").string();
    EXPECT_EQ(InvokedExecutablePath("km40r"), image);
    EXPECT_EQ(InvokedExecutablePath(dir.file("missing/km40r").c_str()), image);
    EXPECT_EQ(InvokedExecutablePath(nullptr), image);
}
