#include "Text.h"

#include "Utf8.h"

// Off Windows wchar_t holds whole code points, so conversion is a plain widening.
static_assert(sizeof(wchar_t) == 4, "the portable text helpers expect 32-bit wchar_t");

std::wstring Utf8ToWide(const std::string& utf8)
{
    const std::u32string codePoints = DecodeUtf8(utf8);
    return std::wstring(codePoints.begin(), codePoints.end());
}

std::string WideToUtf8(const std::wstring& wide)
{
    return EncodeUtf8(std::u32string(wide.begin(), wide.end()));
}
