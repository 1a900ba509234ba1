#include <gtest/gtest.h>

#include <filesystem>

#include "agentconfig/StateDirectory.h"
#include "agentconfig/WholeFile.h"

namespace fs = std::filesystem;

namespace {

class WholeFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("quillmere-wholefile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    fs::path folder;
};

TEST_F(WholeFileTest, BytesSurviveARoundTripWithoutNewlineTranslation)
{
    const std::string bytes = std::string("\xEF\xBB\xBF{\r\n\"k\": \"\xE4\xB8\xAD\"\n}\0tail", 22);
    std::string read;
    ASSERT_TRUE(WriteWholeFile(folder / "a.json", bytes));
    ASSERT_TRUE(ReadWholeFile(folder / "a.json", read));
    EXPECT_EQ(read, bytes);
}

TEST_F(WholeFileTest, WritingReplacesTheWholeOldFile)
{
    std::string read;
    ASSERT_TRUE(WriteWholeFile(folder / "a.json", std::string(5000, 'x')));
    ASSERT_TRUE(WriteWholeFile(folder / "a.json", "short"));
    ASSERT_TRUE(ReadWholeFile(folder / "a.json", read));
    EXPECT_EQ(read, "short") << "no tail of the longer file survives";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "nothing beside it";

    // A new text that cannot be written in full never takes the old one's place.
    fs::create_directories(folder / "a.json.quillmere-new" / "in-the-way");
    const Outcome blocked = WriteWholeFile(folder / "a.json", "the new text");
    EXPECT_FALSE(blocked);
    ASSERT_TRUE(ReadWholeFile(folder / "a.json", read));
    EXPECT_EQ(read, "short") << "the earlier file is left byte for byte";
}

TEST_F(WholeFileTest, FailuresAreReportedWithTheirFile)
{
    std::string read = "stale";
    const Outcome missing = ReadWholeFile(folder / "missing.json", read);
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.error.find(L"missing.json"), std::wstring::npos);
    EXPECT_EQ(read, "") << "nothing of an earlier read is left";
    EXPECT_FALSE(ReadWholeFile(folder, read)) << "a folder is no file";
    EXPECT_FALSE(WriteWholeFile(folder / "no-such-folder" / "a.json", "x"));
    EXPECT_FALSE(WriteWholeFile(folder, "x")) << "a folder stands where the file should go";
    EXPECT_FALSE(fs::exists(folder / "no-such-folder"));
}

TEST(StateDirectoryLayout, FoldersUnderTheProfile)
{
    const StateDirectory dirs = StateDirectoryUnder(fs::path("profile"));
    EXPECT_EQ(dirs.stateDir, fs::path("profile") / ".harrowby");
    EXPECT_EQ(dirs.agentDir, fs::path("profile") / ".harrowby" / "agents" / "main" / "agent");
    EXPECT_EQ(dirs.canvasDir, fs::path("profile") / ".harrowby" / "canvas");
}

}  // namespace
