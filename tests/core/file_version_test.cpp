#include "core/file_version.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace km40r;
using km40r::test::ReadFile;
using km40r::test::TempDir;
using km40r::test::WriteFile;

TEST(FileVersionText, MajorMinorReleaseOfTheEmbeddedRecord) {
    EXPECT_EQ(FileVersionText(VERSION_FIXTURE_2_10_3_7), "2.10.3");
}

TEST(FileVersionText, RecordWithoutFixedBlockGivesEmptyText) {
    EXPECT_EQ(FileVersionText(VERSION_FIXTURE_NO_BLOCK), "");
}

TEST(FileVersionText, UnreadableOrRecordlessFilesGiveQuestionMarks) {
    TempDir dir;
    WriteFile(dir.file("text"), "not an executable");
    WriteFile(dir.file("empty"), "");
    // An executable cut short: its section table is gone.
    const std::string exe = ReadFile(VERSION_FIXTURE_2_10_3_7);
    WriteFile(dir.file("truncated"), exe.substr(0, exe.size() / 2));
    // A header that points its section table far outside the file.
    std::string bogus = exe.substr(0, 64);
    for (int i = 0x28; i < 0x30; ++i)
        bogus[i] = '\xFF';
    WriteFile(dir.file("bogus"), bogus);
    for (const char* name : {"text", "empty", "truncated", "bogus", "missing"})
        EXPECT_EQ(FileVersionText(dir.file(name)), "?.?.?") << name;
    EXPECT_EQ(FileVersionText(dir.path()), "?.?.?"); // a directory
}
