#include <gtest/gtest.h>

#include "wizard/WizardTexts.h"

namespace {

TEST(WizardTexts, BrowsedFolderGetsTheProductFolderAppendedOnce)
{
    EXPECT_EQ(AppendProductFolder(L"D:\\Apps"), L"D:\\Apps\\Quillmere");
    EXPECT_EQ(AppendProductFolder(L"E:\\"), L"E:\\Quillmere") << "a drive root already ends with a backslash";
    EXPECT_EQ(AppendProductFolder(L"C:\\用户\\程序"), L"C:\\用户\\程序\\Quillmere");
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
