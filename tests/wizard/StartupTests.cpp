#include <gtest/gtest.h>

#include "wizard/Startup.h"

namespace {

TEST(StartupFailure, FourLinesNamingTheServer)
{
    EXPECT_EQ(ManifestFailureText(L"https://updates.example.com/new/quillmere/update/"),
              L"无法连接到安装服务器或清单文件无效。\n\n请检查网络连接后重试。\n"
              L"服务器: https://updates.example.com/new/quillmere/update/");
}

TEST(StartupFailure, WindowsBefore10IsRefusedNamingItsVersion)
{
    const struct { uint32_t major; bool supported; const char* why; } rows[] = {
        {6, false, "Windows 7 to 8.1 (6.1 to 6.3): Node.js 22 does not run there"},
        {5, false, "Windows XP"},
        {10, true, "Windows 10, and Windows 11, which reports 10 too"},
        {11, true, "a later major version"},
    };
    for (const auto& row : rows) EXPECT_EQ(IsSupportedWindowsVersion(row.major), row.supported) << row.why;
    EXPECT_EQ(UnsupportedWindowsText(6, 1), L"Quillmere 需要 Windows 10 或更高版本。\n\n此电脑的 Windows 版本为 6.1。");
}

}  // namespace
