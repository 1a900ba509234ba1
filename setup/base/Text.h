#pragma once
#include <string>

// UTF-8 bytes as UTF-16 text (code points off Windows), converted as the system converts.
std::wstring Utf8ToWide(const std::string& utf8);
// UTF-16 text (code points off Windows) as UTF-8 bytes.
std::string WideToUtf8(const std::wstring& wide);
