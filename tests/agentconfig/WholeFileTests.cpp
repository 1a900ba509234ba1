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
    WriteWholeFile(folder / "a.json", bytes);
    EXPECT_EQ(ReadWholeFile(folder / "a.json"), bytes);
}

TEST_F(WholeFileTest, WritingReplacesTheWholeOldFile)
{
    WriteWholeFile(folder / "a.json", std::string(5000, 'x'));
    WriteWholeFile(folder / "a.json", "short");
    EXPECT_EQ(ReadWholeFile(folder / "a.json"), "short") << "no tail of the longer file survives";
}

TEST_F(WholeFileTest, FailuresAreSilent)
{
    EXPECT_EQ(ReadWholeFile(folder / "missing.json"), "");
    EXPECT_EQ(ReadWholeFile(folder), "") << "a folder reads as empty";
    EXPECT_NO_THROW(WriteWholeFile(folder / "no-such-folder" / "a.json", "x"));
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
