#pragma once
#include <string>

inline constexpr wchar_t kConsoleUrl[] = L"https://bailian.console.aliyun.com/";

std::wstring DisclaimerText();
std::wstring ConsoleLinkMarkup();
std::wstring AppendProductFolder(const std::wstring& folder);
bool IsValidPort(const std::wstring& port);
