#include "WindowsNames.h"

#include <cstdint>

#include "Text.h"

// Windows takes the name before the first dot, trailing spaces dropped, in any letter case.
bool IsDeviceName(const std::wstring& part)
{
    std::wstring stem = part.substr(0, part.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$")
        return true;
    return stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) && stem[3] >= L'1' &&
           stem[3] <= L'9';
}

namespace {

// The upper case Windows gives the letters of the Latin, Greek and Cyrillic alphabets and the
// full-width Latin ones; caseless scripts such as CJK have none.
wchar_t UpperAsWindows(wchar_t c)
{
    const auto code = static_cast<uint32_t>(c);
    const auto minus = [c](uint32_t offset) { return static_cast<wchar_t>(static_cast<uint32_t>(c) - offset); };
    if ((code >= 'a' && code <= 'z') || (code >= 0xE0 && code <= 0xFE && code != 0xF7)) return minus(0x20);
    if (code == 0xFF) return static_cast<wchar_t>(0x178);
    const bool evenUpper = (code >= 0x100 && code <= 0x137) || (code >= 0x14A && code <= 0x177);
    const bool oddUpper = (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
    if ((evenUpper && code % 2 == 1) || (oddUpper && code % 2 == 0)) return minus(1);
    if (code == 0x3C2) return static_cast<wchar_t>(0x3A3);
    if ((code >= 0x3B1 && code <= 0x3C9) || (code >= 0x430 && code <= 0x44F)) return minus(0x20);
    if (code >= 0x450 && code <= 0x45F) return minus(0x50);
    if (code >= 0xFF41 && code <= 0xFF5A) return minus(0x20);
    return c;
}

void DropTrailingDotsAndSpaces(std::wstring& text)
{
    while (!text.empty() && (text.back() == L'.' || text.back() == L' ')) text.pop_back();
}

}  // namespace

std::wstring NameAsWindowsCompares(const std::string& name)
{
    std::wstring folded;
    for (wchar_t c : Utf8ToWide(name)) {
        if (c == L'/') c = L'\\';
        if (c == L'\\') DropTrailingDotsAndSpaces(folded);
        folded.push_back(UpperAsWindows(c));
    }
    DropTrailingDotsAndSpaces(folded);
    return folded;
}

bool IsValidUtf8(const std::string& bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<uint8_t>(bytes[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > bytes.size()) return false;
        uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}
