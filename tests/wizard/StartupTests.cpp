#include <gtest/gtest.h>

#include "wizard/Startup.h"

namespace {

TEST(StartupFailure, FourLinesNamingTheServer)
{
    EXPECT_EQ(ManifestFailureText(L"https://updates.example.com/new/quillmere/update/"),
              L"无法连接到安装服务器或清单文件无效。\n\n请检查网络连接后重试。\n"
              L"服务器: https://updates.example.com/new/quillmere/update/");
}

}  // namespace
