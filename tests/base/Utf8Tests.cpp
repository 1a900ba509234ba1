#include <gtest/gtest.h>

#include "base/Text.h"
#include "base/Utf8.h"

namespace {

constexpr char32_t R = 0xFFFD;

TEST(Utf8Decode, ValidAndInvalidSequences)
{
    struct Row {
        std::string bytes;
        std::u32string codePoints;
        const char* why;
    } rows[] = {
        {"", U"", "empty"},
        {"a\xC2\x80\xDF\xBF", U"a\u0080\u07FF", "two-byte range"},
        {"\xE0\xA0\x80\xEF\xBF\xBF", U"\u0800\uFFFF", "three-byte range"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", U"\U00010000\U0010FFFF", "four-byte range"},
        {"\xED\x9F\xBF", U"\uD7FF", "just below the surrogates"},
        {"\x80", {R}, "stray continuation"},
        {"\xC0\xAF", {R, R}, "C0 never starts a sequence"},
        {"\xC3\x28", {R, U'('}, "a non-continuation byte is not swallowed"},
        {"\xE2\x82", {R}, "cut short by the end: one replacement"},
        {"\xE2\x28", {R}, "too few bytes left: the rest is one replacement"},
        {"a\xE2\x82z", {U'a', R, U'z'}, "cut short inside the text"},
        {"\xE0\x80\xAF", {R, R}, "overlong: lead and second byte together"},
        {"\xED\xA0\x80", {R, R}, "surrogate: lead and second byte together"},
        {"\xF4\x90\x80\x80", {R, R, R}, "above U+10FFFF"},
        {"\xF0\x8F\x80\x80", {R, R, R}, "overlong four-byte"},
        {"\xF5\x80\x80\x80", {R, R, R, R}, "F5 never starts a sequence"},
        {"\xE0\xA0\x28", {R, U'('}, "third byte missing inside the text"},
    };
    for (const Row& row : rows) EXPECT_EQ(DecodeUtf8(row.bytes), row.codePoints) << row.why;
}

TEST(Utf8Encode, RoundTripAndReplacement)
{
    const std::string text = "Quillmere 安装程序 \xF0\x9F\x98\x80";
    EXPECT_EQ(EncodeUtf8(DecodeUtf8(text)), text);
    EXPECT_EQ(EncodeUtf8(std::u32string(1, char32_t(0xD800))), "\xEF\xBF\xBD") << "a surrogate code point";
    EXPECT_EQ(EncodeUtf8(std::u32string(1, char32_t(0x110000))), "\xEF\xBF\xBD") << "beyond Unicode";
    EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
    EXPECT_EQ(Utf8ToWide(""), L"");
}

}  // namespace
