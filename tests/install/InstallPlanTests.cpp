#include <gtest/gtest.h>

#include <set>

#include "install/Install.h"
#include "install/InstallPlan.h"

namespace {

TEST(NodeVersionProbe, MajorVersionFromTheFirstVersionLetter)
{
    struct Row {
        const char* output;
        int major;
        const char* why;
    } rows[] = {
        {"v22.0.0\r\n", 22, "the oldest accepted release"},
        {"v21.7.3\r\n", 21, "too old"},
        {"v24.11.1", 24, "newer"},
        {"'node' is not recognized as an internal or external command", 0, "no version letter at all"},
        {"vx.1", 0, "letter followed by no number"},
        {"V23.1.0", 23, "capital V when there is no lower-case v"},
        {"Version V23", 0, "the first capital V is the one read"},
        {"node v 22", 22, "blanks before the number are accepted"},
        {"v99999999999", 0, "out of range"},
        {"", 0, "no output"},
        {"invalid v18", 0, "the first lower-case v wins even inside a word"},
    };
    for (const Row& row : rows) EXPECT_EQ(NodeMajorVersion(row.output), row.major) << row.why;
}

TEST(NodeVersionProbe, FirstLineStopsAtCrOrLf)
{
    EXPECT_EQ(FirstOutputLine("v22.1.0\r\nextra"), L"v22.1.0");
    EXPECT_EQ(FirstOutputLine("v22.1.0\nextra"), L"v22.1.0");
    EXPECT_EQ(FirstOutputLine("v22.1.0"), L"v22.1.0");
}

TEST(StepPlan, TwoSkillsThreePackagesOnePresentGivesEightSteps)
{
    ReleaseManifest manifest;
    manifest.packages = {{"node", "", "", 0, false, true}, {"playwright", "", "", 0, false, false},
                         {"quillmere", "", "", 0, true, false}};
    manifest.skills = {{"a", "", "", "", 0, true, false}, {"b", "", "", "", 0, false, true},
                       {"c", "", "", "", 0, false, false}};
    const int total = detail::CountTotalSteps(manifest);
    ASSERT_EQ(total, 8) << "required or selected skills count; present packages do not";
    std::vector<int> percents;
    for (int done = 1; done <= 7; ++done) percents.push_back(StepPercent(done, total));
    EXPECT_EQ(percents, (std::vector<int>{12, 25, 37, 50, 62, 75, 87}));
    EXPECT_EQ(detail::CountTotalSteps(ReleaseManifest{}), 4) << "never below the four fixed phases";
}

TEST(RetryTexts, PackageAndSkillRetryLines)
{
    EXPECT_EQ(RetryLine(kPackageRetry, L"HTTP 500", 1), L"  下载失败 - HTTP 500，3秒后重试 (1/3)...");
    EXPECT_EQ(RetryLine(kPackageRetry, L"", 2), L"  下载失败，3秒后重试 (2/3)...") << "no dash without an error text";
    EXPECT_EQ(RetryLine(kSkillRetry, L"HTTP 404", 2), L"  下载失败 - HTTP 404，重试 (2/3)...");
    constexpr RetryPolicy fiveTries = {5, 0, L"，重试 ("};
    EXPECT_EQ(RetryLine(fiveTries, L"", 4), L"  下载失败，重试 (4/5)...") << "the count is the policy's own";
}

TEST(RetryTexts, SkillDisplayNameFallsBackToId)
{
    EXPECT_EQ(SkillDisplayName({"web-search", "", "", "", 0, false, true}), L"web-search");
    EXPECT_EQ(SkillDisplayName({"doc", "", "文档助手", "", 0, false, true}), L"文档助手");
}

}  // namespace

namespace {

TEST(ManifestNames, OnlyRelativeNamesThatStayInsideAreAccepted)
{
    struct Row {
        const char* name;
        bool contained;
        const char* why;
    } rows[] = {
        {"node-v22.msi", true, "plain file"},
        {"skills/web-search.zip", true, "a folder inside"},
        {"tools\\readme.txt", true, "backslash separators inside"},
        {"a..b/c", true, "dots inside a name are fine"},
        {"", false, "no name at all"},
        {"../escape.bin", false, "climbs out"},
        {"sub/../../escape.bin", false, "climbs out from a folder"},
        {"sub\\..\\x", false, "climbs with backslashes"},
        {"..", false, "the parent itself"},
        {"/etc/passwd", false, "absolute"},
        {"\\\\server\\share\\x", false, "UNC"},
        {"C:/Windows/x", false, "drive"},
        {"C:x", false, "drive-relative"},
        {"tools./x.bin", false, "Windows drops the dot: the file lands in \"tools\""},
        {"setup.exe ", false, "Windows drops the space"},
        {"./x.bin", true, "the current folder is still inside"},
        {"skills/aux.zip", false, "a device name, whatever its extension"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsContainedRelativePath(row.name), row.contained) << row.why;
}

}  // namespace

namespace {

TEST(NpmLookup, OnlyAbsolutePathFoldersAreSearchedInOrder)
{
    const auto in = [](const wchar_t* folder) { return (std::filesystem::path(folder) / L"npm.cmd").wstring(); };
    const std::set<std::wstring> files = {in(L"C:\\nodejs"), in(L"D:\\tools"), in(L"."), in(L"npm"),
                                          in(L"\\\\server\\bin")};
    const auto isFile = [&files](const std::filesystem::path& candidate) { return files.count(candidate.wstring()) > 0; };
    struct Row {
        std::wstring path;
        const wchar_t* folder;  // where it is found; nullptr: nowhere
        const char* why;
    } rows[] = {
        {L"C:\\Windows;C:\\nodejs;D:\\tools", L"C:\\nodejs", "the first folder that has it"},
        {L"D:\\tools;C:\\nodejs", L"D:\\tools", "PATH order decides"},
        {L";.;;C:\\nodejs", L"C:\\nodejs", "empty and relative entries are passed over"},
        {L"\"C:\\nodejs\"", L"C:\\nodejs", "a quoted entry"},
        {L"\\\\server\\bin", L"\\\\server\\bin", "a share is absolute"},
        {L".;npm", nullptr, "the current folder never counts"},
        {L"C:\\Windows", nullptr, "nowhere"},
        {L"", nullptr, "no PATH at all"},
    };
    for (const Row& row : rows) {
        const std::optional<std::filesystem::path> found = FindOnPath(row.path, L"npm.cmd", isFile);
        EXPECT_EQ(found ? found->wstring() : L"", row.folder ? in(row.folder) : L"") << row.why;
    }
}

}  // namespace
