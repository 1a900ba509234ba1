#include <gtest/gtest.h>

#include "base/Text.h"
#include "base/Utf8.h"

namespace {

std::wstring Utf16FromCodePoints(const std::u32string& codePoints)
{
    std::wstring out;
    for (char32_t cp : codePoints) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return out;
}

std::u32string CodeUnitsAsCodePoints(const std::wstring& wide)
{
    return std::u32string(wide.begin(), wide.end());
}

// The portable decoder must agree with the system's code page conversion on valid and
// invalid input alike, so both builds see the same text.
TEST(TextConversion, PortableDecoderMatchesTheSystemOnEveryClassOfInput)
{
    const char* cases[] = {
        "", "plain ascii", "中文 Quillmere", "\xF0\x9F\x98\x80 emoji", "\xF4\x8F\xBF\xBF",
        "\x80", "\xBF\x80", "\xC0\xAF", "\xC1\xBF", "\xC3", "\xC3\x28", "\xE2\x82", "\xE2\x28",
        "a\xE2\x82z", "\xE0\x80\xAF", "\xE0\x9F\x80", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80",
        "\xF0\x8F\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF\xFE",
        "\xF0\x9F\x98", "\xE0\xA0\x28", "\xC2\x80\x80", "x\xF0\x9F\x28y",
    };
    for (const char* text : cases) {
        EXPECT_EQ(Utf8ToWide(text), Utf16FromCodePoints(DecodeUtf8(text))) << testing::PrintToString(std::string(text));
    }
}

TEST(TextConversion, PortableEncoderMatchesTheSystemOnUnpairedSurrogates)
{
    const std::wstring cases[] = {L"", L"中文", std::wstring(1, wchar_t(0xD800)), std::wstring(1, wchar_t(0xDFFF)),
                                  std::wstring(L"a") + wchar_t(0xDC00) + L"b", std::wstring(1, wchar_t(0xFFFF))};
    for (const std::wstring& text : cases) EXPECT_EQ(WideToUtf8(text), EncodeUtf8(CodeUnitsAsCodePoints(text)));
    EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80") << "a surrogate pair is one code point";
}

}  // namespace
