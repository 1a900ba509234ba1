#pragma once
#include <cstdint>
#include <string>
#include <system_error>

// The system's own words for one of its error codes, in the user's language, without the closing
// line break and full stop.
std::wstring SystemErrorText(uint32_t code);
// The words for a library's error: the system's text, for a C runtime code the text of the system
// code it stands for.
std::wstring ErrorCodeText(const std::error_code& error);
