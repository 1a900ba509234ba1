#pragma once
#include <string>

// Where the model provider issues API keys.
inline constexpr wchar_t kConsoleUrl[] = L"https://bailian.console.aliyun.com/";

// The disclaimer page's text, with CR LF line ends.
std::wstring DisclaimerText();
// The configuration page's hint, with the console link as SysLink markup.
std::wstring ConsoleLinkMarkup();
// The folder the user picked, with the product's own folder below it.
std::wstring AppendProductFolder(const std::wstring& folder);
