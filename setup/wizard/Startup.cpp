#include "Startup.h"

// Names the compiled-in server, not the manifest's, since no manifest could be read.
std::wstring ManifestFailureText(const std::wstring& serverUrl)
{
    return L"无法连接到安装服务器或清单文件无效。\n"
           L"\n"
           L"请检查网络连接后重试。\n"
           L"服务器: " + serverUrl;
}
