#include <gtest/gtest.h>

#include "wizard/WizardTexts.h"

namespace {

TEST(WizardTexts, BrowsedFolderGetsTheProductFolderAppendedOnce)
{
    EXPECT_EQ(AppendProductFolder(L"D:\\Apps"), L"D:\\Apps\\Quillmere");
    EXPECT_EQ(AppendProductFolder(L"E:\\"), L"E:\\Quillmere") << "a drive root already ends with a backslash";
    EXPECT_EQ(AppendProductFolder(L"C:\\用户\\程序"), L"C:\\用户\\程序\\Quillmere");
}

TEST(WizardTexts, PortMustBeACanonicalNumberFrom1To65535)
{
    struct Row {
        const wchar_t* port;
        bool valid;
        const char* why;
    } rows[] = {
        {L"18789", true, "the default"},
        {L"1", true, "lowest port"},
        {L"65535", true, "highest port"},
        {L"", false, "empty writes an invalid configuration file"},
        {L"0", false, "port 0 cannot be listened on"},
        {L"65536", false, "beyond the port range"},
        {L"99999", false, "five digits but too large"},
        {L"123456", false, "too many digits"},
        {L"080", false, "a leading zero is not a JSON number"},
        {L"80a", false, "pasted text bypasses the digits-only style"},
        {L" 80", false, "blank"},
        {L"-1", false, "sign"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsValidPort(row.port), row.valid) << row.why;
}

TEST(WizardTexts, InstallFolderMustBeAnAbsoluteLocalPathOfPlainNames)
{
    struct Row {
        std::wstring path;
        bool valid;
        const char* why;
    } rows[] = {
        {L"C:\\Quillmere", true, "the default"},
        {L"d:\\应用\\Quillmere", true, "lower-case drive, Chinese names"},
        {L"C:\\Program Files\\Quillmere v1.0", true, "spaces and dots inside names"},
        {L"C:\\" + std::wstring(97, L'q'), true, "exactly 100 characters"},
        {L"C:\\" + std::wstring(98, L'q'), false, "101 characters: npm fails that deep"},
        {L"rel-install\\Quillmere", false, "relative: lands under the working directory"},
        {L"\\Quillmere", false, "rooted on whatever drive is current"},
        {L"C:Quillmere", false, "drive-relative"},
        {L"\\\\server\\share\\Quillmere", false, "a network share"},
        {L"1:\\Quillmere", false, "no drive letter"},
        {L"C:\\", false, "a drive root is no folder of its own"},
        {L"C:\\Quillmere\\", false, "a trailing backslash leaves an empty name"},
        {L"C:\\a\\\\b", false, "an empty name between two backslashes"},
        {L"C:\\Quillmere.", false, "Windows drops the trailing dot"},
        {L"C:\\Quillmere \\x", false, "Windows drops the trailing space"},
        {L"C:\\a\\..\\b", false, "a parent reference ends in a dot"},
        {L"C:/Quillmere", false, "forward slashes are written to files as they stand"},
        {L"C:\\a:b", false, "a stream name"},
        {L"C:\\a?b", false, "a wildcard"},
        {L"C:\\a\tb", false, "a control character"},
        {L"C:\\Quillmere\\NUL", false, "a device: every file below it would go to the device"},
        {L"C:\\com1.data\\Quillmere", false, "a device name with an extension, in any case"},
        {L"C:\\Console\\Quillmere", true, "a longer name that begins like a device"},
    };
    for (const Row& row : rows) EXPECT_EQ(IsValidInstallPath(row.path), row.valid) << row.why;
}

TEST(WizardTexts, DisclaimerHasItsFixedOpeningEightSectionsAndCrLfLines)
{
    const std::wstring text = DisclaimerText();
    EXPECT_EQ(text.rfind(L"Quillmere 软件使用免责声明\r\n\r\n感谢您选择使用 Quillmere。", 0), 0u);
    size_t at = 0;
    for (const wchar_t* heading : {L"一、软件性质", L"二、AI 算力资源", L"三、工作目录授权", L"四、AI 输出结果",
                                   L"五、责任限制", L"六、用户责任", L"七、知识产权", L"八、声明修订"}) {
        const size_t found = text.find(std::wstring(L"\r\n\r\n") + heading + L"\r\n", at);
        ASSERT_NE(found, std::wstring::npos) << "section in order: " << testing::PrintToString(std::wstring(heading));
        at = found + 1;
    }
    size_t bareLineFeeds = 0;
    for (size_t i = 0; i < text.size(); ++i) bareLineFeeds += text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r');
    EXPECT_EQ(bareLineFeeds, 0u) << "lines end with CR LF";
    EXPECT_TRUE(text.ends_with(L"\r\n\r\nQuillmere 团队")) << "closing line names the distributor";
}

TEST(WizardTexts, ConsoleLinkHasThreeLinesAndOneAnchorToTheConsole)
{
    const std::wstring markup = ConsoleLinkMarkup();
    EXPECT_NE(markup.find(L"<a href=\"https://bailian.console.aliyun.com/\">点此打开百炼控制台</a>"), std::wstring::npos);
    size_t lineFeeds = 0;
    for (wchar_t c : markup) lineFeeds += c == L'\n';
    EXPECT_EQ(lineFeeds, 2u);
    EXPECT_NE(markup.find(L"• 主模型建议选 \"Coding Plan\"（编程增强版 API 服务）\n"), std::wstring::npos);
}

}  // namespace
