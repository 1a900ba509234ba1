#include "Startup.h"

// Names the compiled-in server, not the manifest's, since no manifest could be read.
std::wstring ManifestFailureText(const std::wstring& serverUrl)
{
    return L"无法连接到安装服务器或清单文件无效。\n"
           L"\n"
           L"请检查网络连接后重试。\n"
           L"服务器: " + serverUrl;
}

// Node.js 22 does not run on Windows 8.1 and older, which all report a major version below 10; so
// do Windows 11 and the server editions since 2016, which report 10.
bool IsSupportedWindowsVersion(uint32_t majorVersion)
{
    return majorVersion >= 10;
}

std::wstring UnsupportedWindowsText(uint32_t majorVersion, uint32_t minorVersion)
{
    return L"Quillmere 需要 Windows 10 或更高版本。\n"
           L"\n"
           L"此电脑的 Windows 版本为 " + std::to_wstring(majorVersion) + L"." + std::to_wstring(minorVersion) + L"。";
}
