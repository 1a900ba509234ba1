#pragma once
#include <string>

std::u32string DecodeUtf8(const std::string& utf8);
std::string EncodeUtf8(const std::u32string& codePoints);
