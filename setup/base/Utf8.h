#pragma once
#include <string>

// UTF-8 bytes as code points, invalid sequences replaced as the system's UTF-8 code page does.
std::u32string DecodeUtf8(const std::string& utf8);
// Code points as UTF-8; surrogates and values beyond U+10FFFF become U+FFFD.
std::string EncodeUtf8(const std::u32string& codePoints);
// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(const std::string& bytes);
