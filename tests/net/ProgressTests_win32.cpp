#include <gtest/gtest.h>

#include <regex>

#include "WineTestSupport_win32.h"
#include "net/Progress.h"
#include "shell/Messages.h"
#include "base/Text.h"

namespace {

const std::wstring kBase = L"http://127.0.0.1:" + std::to_wstring(HTTP_TEST_PORT) + L"/new/quillmere/update/";

class ProgressPostingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = CreateMessageSinkWindow();
        root = WindowsPathFromUnix(HTTP_TEST_ROOT);
        CreateDirectoryW(root.c_str(), nullptr);
        WriteFileBytes(root + L"\\progress.bin", PatternBytes(102400, 3));
        dest = root + L"\\progress-download.bin";
    }
    void TearDown() override { DestroyMessageSinkWindow(window); }

    std::vector<std::string> DetailLines()
    {
        std::vector<std::string> lines;
        for (const ReceivedMessage& m : DrainInstallMessages()) {
            EXPECT_EQ(m.message, WM_INSTALL_DETAIL) << "progress posts only detail lines";
            lines.push_back(WideToUtf8(m.text));
        }
        return lines;
    }

    HWND window = nullptr;
    std::wstring root;
    std::wstring dest;
};

TEST_F(ProgressPostingTest, PackageDownloadPostsOneDetailLinePerChunkEndingAtTheFullSize)
{
    const uint32_t attemptStartTick = GetTickCount();
    ASSERT_TRUE(DownloadToFile(kBase + L"progress.bin", dest, PackageDownloadProgress(attemptStartTick), nullptr));
    const std::vector<std::string> lines = DetailLines();
    ASSERT_GE(lines.size(), 7u) << "100 KiB arrives in at least seven 16 KiB chunks";
    const std::regex shape(R"(\d+(\.\d)? (B|KB) / 100\.0 KB \(\d{1,3}%\)  \d+\.\d MB/s)");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_EQ(lines.back().rfind("100.0 KB / 100.0 KB (100%)  ", 0), 0u) << lines.back();
}

TEST_F(ProgressPostingTest, SkillDownloadLinesHaveNoPercentage)
{
    const uint32_t attemptStartTick = GetTickCount();
    ASSERT_TRUE(DownloadToFile(kBase + L"progress.bin", dest, SkillDownloadProgress(attemptStartTick), nullptr));
    const std::vector<std::string> lines = DetailLines();
    ASSERT_FALSE(lines.empty());
    const std::regex shape(R"(\d+(\.\d)? (B|KB) / 100\.0 KB  \d+\.\d MB/s)");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST_F(ProgressPostingTest, NoContentLengthPostsNothing)
{
    const uint32_t attemptStartTick = GetTickCount();
    ASSERT_TRUE(DownloadToFile(kBase + L"_fault=nolength/progress.bin", dest, PackageDownloadProgress(attemptStartTick),
                               nullptr));
    EXPECT_TRUE(DetailLines().empty());
}

TEST_F(ProgressPostingTest, SpeedIsTheAverageSinceTheAttemptStarted)
{
    // An attempt that started ten seconds ago has moved 10 MiB at 1.0 MB/s on average.
    const uint32_t attemptStartTick = GetTickCount() - 10000;
    PackageDownloadProgress(attemptStartTick)(10485760, 20971520);
    const std::vector<std::string> lines = DetailLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0] == "10.0 MB / 20.0 MB (50%)  1.0 MB/s") << lines[0];
}

}  // namespace
