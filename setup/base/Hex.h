#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Lower-case hex, two digits a byte.
std::string HexEncode(std::span<const unsigned char> bytes);
// Hex pairs as strtoul reads them; an odd last digit is dropped.
std::vector<unsigned char> HexDecode(std::string_view text);
