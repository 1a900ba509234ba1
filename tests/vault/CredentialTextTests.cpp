#include <gtest/gtest.h>

#include "base/Hex.h"
#include "vault/CredentialText.h"

namespace {

CredentialBytes Bytes(std::initializer_list<unsigned char> values)
{
    return CredentialBytes(values);
}

TEST(HexEncode, TwoLowercaseDigitsPerByteWithPadding)
{
    EXPECT_EQ(HexEncode({}), "");
    EXPECT_EQ(HexEncode(Bytes({0x00})), "00") << "a zero byte keeps both digits";
    EXPECT_EQ(HexEncode(Bytes({0x0f, 0xa0, 0xff, 0x5c})), "0fa0ff5c") << "padding, order and lower case";
}

TEST(HexEncode, EveryByteValueRoundTripsThroughHexDecode)
{
    CredentialBytes all;
    for (int value = 0; value < 256; ++value) all.push_back(static_cast<unsigned char>(value));
    const std::string text = HexEncode(all);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << "output is lower case only";
    EXPECT_EQ(HexDecode(text), all);
}

TEST(HexDecode, PairsAreReadLikeStrtoulWithBaseSixteen)
{
    struct Row {
        const char* text;
        CredentialBytes expected;
        const char* why;
    } rows[] = {
        {"", {}, "empty text gives no bytes"},
        {"a", {}, "a single character is not a pair"},
        {"abc", {0xab}, "a final odd character is ignored"},
        {"ABcD", {0xab, 0xcd}, "upper and mixed case are accepted"},
        {"00ff", {0x00, 0xff}, "extremes of one byte"},
        {"zz", {0x00}, "no digits at all gives zero"},
        {"1g", {0x01}, "conversion stops at the first non-digit"},
        {" f", {0x0f}, "leading white space is skipped"},
        {"-1", {0xff}, "a negated value wraps and is truncated to one byte"},
        {"0x", {0x00}, "a lone base prefix reads as zero"},
    };
    for (const Row& row : rows) EXPECT_EQ(HexDecode(row.text), row.expected) << row.why << ": \"" << row.text << "\"";
}

TEST(HasCredentialPrefix, OnlyTheExactLowercasePrefixAtTheStart)
{
    EXPECT_TRUE(HasCredentialPrefix("enc:"));
    EXPECT_TRUE(HasCredentialPrefix("enc:00:11:22"));
    EXPECT_FALSE(HasCredentialPrefix("ENC:00:11:22")) << "the prefix is case-sensitive";
    EXPECT_FALSE(HasCredentialPrefix("enc")) << "a shorter text never matches";
    EXPECT_FALSE(HasCredentialPrefix(""));
    EXPECT_FALSE(HasCredentialPrefix(" enc:00:11:22")) << "the prefix must be at the very start";
    EXPECT_FALSE(HasCredentialPrefix("sk-plain-key"));
}

TEST(ComposeCredentialText, PrefixThenNonceTagAndCiphertextSeparatedByColons)
{
    CredentialCipherText parts;
    for (int i = 0; i < 12; ++i) parts.nonce.push_back(static_cast<unsigned char>(0xa0 + i));
    for (int i = 0; i < 16; ++i) parts.tag.push_back(static_cast<unsigned char>(i));
    parts.ciphertext = Bytes({0xde, 0xad, 0x01});
    const std::string text = ComposeCredentialText(parts);
    EXPECT_EQ(text, "enc:a0a1a2a3a4a5a6a7a8a9aaab:000102030405060708090a0b0c0d0e0f:dead01");
    EXPECT_EQ(text.size(), 62u + 2 * 3) << "62 characters plus two per ciphertext byte";
}

TEST(ComposeCredentialText, EmptyCiphertextLeavesTheLastFieldEmpty)
{
    const CredentialCipherText parts{CredentialBytes(12, 0x11), CredentialBytes(16, 0x22), {}};
    const std::string text = ComposeCredentialText(parts);
    EXPECT_EQ(text.size(), 62u);
    EXPECT_EQ(text.back(), ':');
}

TEST(ParseCredentialText, ComposedTextParsesBackToTheSameFields)
{
    const CredentialCipherText parts{CredentialBytes(12, 0x5a), CredentialBytes(16, 0xc3), Bytes({1, 2, 3, 4})};
    const auto parsed = ParseCredentialText(ComposeCredentialText(parts));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->nonce, parts.nonce);
    EXPECT_EQ(parsed->tag, parts.tag);
    EXPECT_EQ(parsed->ciphertext, parts.ciphertext);
}

TEST(ParseCredentialText, FieldsAreSplitAtTheFirstTwoColons)
{
    const auto parsed = ParseCredentialText("enc:0102:aabb:ccdd:ee");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->nonce, Bytes({0x01, 0x02}));
    EXPECT_EQ(parsed->tag, Bytes({0xaa, 0xbb}));
    EXPECT_EQ(parsed->ciphertext, Bytes({0xcc, 0xdd, 0x00})) << "a third colon stays in the ciphertext field";
}

TEST(ParseCredentialText, OddDigitsAreDroppedPerField)
{
    const auto parsed = ParseCredentialText("enc:010:aab:ccd");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->nonce, Bytes({0x01}));
    EXPECT_EQ(parsed->tag, Bytes({0xaa}));
    EXPECT_EQ(parsed->ciphertext, Bytes({0xcc}));
}

TEST(ParseCredentialText, EmptyFieldsBetweenPresentColonsParseAsEmpty)
{
    const auto parsed = ParseCredentialText("enc:::");
    ASSERT_TRUE(parsed.has_value()) << "both colons exist; the cipher, not the parser, refuses empty fields";
    EXPECT_TRUE(parsed->nonce.empty());
    EXPECT_TRUE(parsed->tag.empty());
    EXPECT_TRUE(parsed->ciphertext.empty());
}

TEST(ParseCredentialText, MalformedTextsAreRefused)
{
    struct Row {
        const char* text;
        const char* why;
    } rows[] = {
        {"enc:", "nothing after the prefix"},
        {"enc:00112233", "no colon after the prefix"},
        {"enc:0011:2233", "only one colon after the prefix"},
        {"enc::", "the first colon is the last character"},
        {"enc:0011:", "the first colon is the last character after a nonce"},
        {"ENC:00:11:22", "upper-case prefix is not a credential text"},
        {"sk-plain:key:value", "no prefix at all"},
        {"", "empty text"},
    };
    for (const Row& row : rows) EXPECT_FALSE(ParseCredentialText(row.text).has_value()) << row.why;
}

TEST(CredentialPassword, ComputerNameImmediatelyFollowedByTheConstant)
{
    EXPECT_EQ(kCredentialKeyConstant.size(), 23u);
    EXPECT_EQ(CredentialPassword("VM"), "VMlanternfly-cipherbox-v1");
    EXPECT_EQ(CredentialPassword(""), "lanternfly-cipherbox-v1") << "a missing name leaves the constant alone";
}

TEST(TrimCredentialFileText, OnlyTrailingLineEndsAndSpacesAreRemoved)
{
    struct Row {
        const char* text;
        const char* expected;
        const char* why;
    } rows[] = {
        {"enc:aa:bb:cc\r\n", "enc:aa:bb:cc", "a Windows line end"},
        {"key \r\n \n", "key", "mixed trailing blanks and line ends in any order"},
        {" key", " key", "leading space stays"},
        {"\tkey\t", "\tkey\t", "tabs stay at either end"},
        {"key\r\nmore", "key\r\nmore", "line ends inside the text stay"},
        {" \r\n", "", "nothing but blanks"},
        {"", "", "empty file"},
    };
    for (const Row& row : rows) EXPECT_EQ(TrimCredentialFileText(row.text), row.expected) << row.why;
}

TEST(DashscopeCredentialPath, LiesInTheCredentialsFolderOfTheStateDirectory)
{
    const std::filesystem::path profile = std::filesystem::path("users") / "a";
    EXPECT_EQ(DashscopeCredentialPath(profile),
              std::filesystem::path("users") / "a" / ".harrowby" / "credentials" / "dashscope-native");
    EXPECT_EQ(DashscopeCredentialPath(profile).extension(), "") << "the file has no extension";
}

}  // namespace
