#pragma once
#include <string>

// Whether Windows opens a file of this name as a device (CON, NUL, COM1, LPT1, ...) in any folder
// and with any extension.
bool IsDeviceName(const std::wstring& part);
// A UTF-8 path as Windows compares it: letter case folded, "/" as "\\", trailing dots and spaces of
// each part dropped. Two names with one key name one file.
std::wstring NameAsWindowsCompares(const std::string& name);
// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(const std::string& bytes);
