#include "Hex.h"

#include <cstdlib>

std::string HexEncode(std::span<const unsigned char> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

// strtoul decides each pair, so its leniency (signs, spaces, stray letters) is part of the credential
// format, which stored keys were written and read in.
std::vector<unsigned char> HexDecode(std::string_view text)
{
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const char pair[3] = {text[i], text[i + 1], '\0'};
        bytes.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}
