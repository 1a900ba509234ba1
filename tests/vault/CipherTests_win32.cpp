#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <fstream>

#include "base/Hex.h"
#include "vault/Cipher_win32.h"
#include "vault/Prefill_win32.h"

using detail::CredentialComputerName;
using detail::DeriveCredentialKeyForName;
using detail::DeriveCredentialKey;
using detail::SealCredential;
using detail::OpenCredential;

namespace {

// Known answers computed with Python: hashlib.pbkdf2_hmac("sha256", name + constant, constant, 100000, 32)
// and cryptography's AESGCM(key).encrypt(nonce, plaintext, None).
constexpr char kKeyForVM[] = "de0719a5176c3d89cb16ebfa0dc084ea53c00d5585f4d8bd7ae6474de4e8a2f2";
constexpr char kKeyForEmptyName[] = "506898e4e7ef425351c0d561f3ebf906613dde44801e0db2d08c3e8a452e55ff";
constexpr char kKeyForPc01[] = "801b3b58470077fd6b2042f5f21c1348d0a15430e6556edfad4a4bd3dbde0e80";
constexpr char kKatNonce[] = "a0a1a2a3a4a5a6a7a8a9aaab";
constexpr char kKatPlaintext[] = "sk-\xe6\xb5\x8b\xe8\xaf\x95-0123456789";
constexpr char kKatCiphertext[] = "199d3e457c4f9eed7e01803ee794c9ba64e80ac1";

// The "enc:" text of a key; sealing never fails on a working machine.
std::string Sealed(const std::string& plaintext)
{
    std::string text;
    const Outcome sealed = EncryptCredential(plaintext, text);
    EXPECT_TRUE(sealed) << "sealing failed";
    EXPECT_EQ(sealed.succeeded, !text.empty());
    return text;
}

// The plaintext, or nothing when the text is refused (and then nothing of it may be left).
std::string Opened(const std::string& text)
{
    std::string plaintext = "stale";
    const Outcome opened = DecryptCredential(text, plaintext);
    EXPECT_EQ(opened.succeeded, opened.error.empty()) << "a refusal always says why";
    if (!opened) {
        EXPECT_EQ(plaintext, "") << "a refused text leaves no plaintext behind";
    }
    return plaintext;
}
constexpr char kKatTag[] = "d7d7493558e29f6e37058691b145ee6c";
constexpr char kKatEmptyTag[] = "e1e54bf03c2844c37ff6e5ee580bd8c6";
// Written for the computer name "elsewhere-pc", which GetComputerNameA never returns (it is upper case).
constexpr char kFromElsewhere[] =
    "enc:0102030405060708090a0b0c:5a1f8000ab7ddf3c5da9dab37db7eda0:ff66c565e07a6ea16ded796e";

CredentialKey KeyFromHex(const char* hex)
{
    const CredentialBytes bytes = HexDecode(hex);
    CredentialKey key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::string KeyHex(const CredentialKey& key)
{
    return HexEncode(CredentialBytes(key.begin(), key.end()));
}

// Changes the hex digit at offset, and so the value of the byte it begins.
std::string ChangeByte(std::string text, size_t offset)
{
    const char replacement = text[offset] == '0' ? '1' : '0';
    text[offset] = replacement;
    return text;
}

TEST(DeriveCredentialKey, MatchesPbkdf2HmacSha256KnownAnswers)
{
    struct Row {
        const char* name;
        const char* expected;
        const char* why;
    } rows[] = {
        {"VM", kKeyForVM, "the name used on the test machine"},
        {"", kKeyForEmptyName, "a failed name lookup still derives from the constant"},
        {"QUILLMERE-PC-01", kKeyForPc01, "a longer name"},
    };
    for (const Row& row : rows) {
        CredentialKey key{};
        ASSERT_TRUE(DeriveCredentialKeyForName(row.name, key)) << row.why;
        EXPECT_EQ(KeyHex(key), row.expected) << row.why;
    }
}

TEST(DeriveCredentialKey, UsesThisComputersAnsiName)
{
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    ASSERT_TRUE(GetComputerNameA(buffer, &size));
    ASSERT_GT(size, 0u);
    EXPECT_EQ(CredentialComputerName(), std::string(buffer));
    CredentialKey machineKey{};
    CredentialKey namedKey{};
    ASSERT_TRUE(DeriveCredentialKey(machineKey));
    ASSERT_TRUE(DeriveCredentialKeyForName(buffer, namedKey));
    EXPECT_EQ(KeyHex(machineKey), KeyHex(namedKey));
    CredentialKey lowerKey{};
    std::string lower(buffer);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(DeriveCredentialKeyForName(lower, lowerKey));
    EXPECT_NE(KeyHex(machineKey), KeyHex(lowerKey)) << "the name is taken as the system returns it, case included";
}

TEST(SealCredential, MatchesAesGcmKnownAnswer)
{
    CredentialCipherText sealed;
    ASSERT_TRUE(SealCredential(KeyFromHex(kKeyForPc01), HexDecode(kKatNonce), kKatPlaintext, sealed));
    EXPECT_EQ(HexEncode(sealed.nonce), kKatNonce);
    EXPECT_EQ(HexEncode(sealed.ciphertext), kKatCiphertext);
    EXPECT_EQ(HexEncode(sealed.tag), kKatTag);
}

TEST(SealCredential, EmptyPlaintextStillGetsItsTag)
{
    CredentialCipherText sealed;
    ASSERT_TRUE(SealCredential(KeyFromHex(kKeyForPc01), HexDecode(kKatNonce), "", sealed));
    EXPECT_TRUE(sealed.ciphertext.empty());
    EXPECT_EQ(HexEncode(sealed.tag), kKatEmptyTag) << "a size query in place of the encryption leaves a zero tag";
}

TEST(OpenCredential, DecryptsTheKnownAnswerAndRefusesAnyOtherKey)
{
    const CredentialCipherText sealed{HexDecode(kKatNonce), HexDecode(kKatTag), HexDecode(kKatCiphertext)};
    const auto plaintext = OpenCredential(KeyFromHex(kKeyForPc01), sealed);
    ASSERT_TRUE(plaintext.has_value());
    EXPECT_EQ(*plaintext, kKatPlaintext);
    EXPECT_FALSE(OpenCredential(KeyFromHex(kKeyForVM), sealed).has_value()) << "wrong key";
}

TEST(OpenCredential, RefusedTagYieldsNoPlaintext)
{
    CredentialCipherText sealed{HexDecode(kKatNonce), HexDecode(kKatTag), HexDecode(kKatCiphertext)};
    sealed.tag[0] ^= 0x01;
    EXPECT_EQ(OpenCredential(KeyFromHex(kKeyForPc01), sealed), std::nullopt);
}

TEST(EncryptCredential, RoundTripsWithAFreshNonceEachTime)
{
    const std::string key = kKatPlaintext;
    const std::string first = Sealed(key);
    const std::string second = Sealed(key);
    ASSERT_EQ(first.size(), 62 + 2 * key.size());
    EXPECT_EQ(first.substr(0, 4), "enc:");
    EXPECT_EQ(first[28], ':');
    EXPECT_EQ(first[61], ':');
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef:", 4), std::string::npos) << "lower-case hex only";
    EXPECT_NE(first.substr(4, 24), second.substr(4, 24)) << "each encryption draws a new nonce";
    EXPECT_NE(first, second);
    EXPECT_EQ(Opened(first), key);
    EXPECT_EQ(Opened(second), key);
}

TEST(EncryptCredential, EmptyKeyRoundTrips)
{
    const std::string text = Sealed("");
    ASSERT_EQ(text.size(), 62u);
    EXPECT_EQ(Opened(text), "");
    EXPECT_EQ(Opened(ChangeByte(text, 30)), "") << "still empty, but through a refused tag";
}

TEST(DecryptCredential, ChangingAnyEncodedByteIsRejected)
{
    const std::string key = "sk-abc";
    const std::string text = Sealed(key);
    ASSERT_EQ(Opened(text), key);
    for (size_t offset : {4, 29, 62}) EXPECT_EQ(Opened(ChangeByte(text, offset)), "") << "field at " << offset;
    // Every other byte goes through the same parse and cipher with the machine key derived once, for speed.
    CredentialKey machineKey{};
    ASSERT_TRUE(DeriveCredentialKey(machineKey));
    for (size_t offset = 4; offset < text.size(); offset += 2) {
        if (text[offset] == ':') ++offset;
        const auto fields = ParseCredentialText(ChangeByte(text, offset));
        ASSERT_TRUE(fields.has_value());
        EXPECT_EQ(OpenCredential(machineKey, *fields), std::nullopt) << "byte with its first digit at " << offset;
    }
}

TEST(DecryptCredential, UpperCaseHexIsAccepted)
{
    std::string text = Sealed("sk-upper");
    for (size_t i = 4; i < text.size(); ++i) text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
    EXPECT_EQ(Opened(text), "sk-upper");
}

TEST(DecryptCredential, OneExtraCharacterIsIgnoredButAMissingDigitFails)
{
    const std::string text = Sealed("sk-length");
    EXPECT_EQ(Opened(text + "f"), "sk-length") << "an odd final character is dropped";
    EXPECT_EQ(Opened(text.substr(0, text.size() - 1)), "") << "the last byte is lost";
    EXPECT_EQ(Opened(text.substr(0, text.size() - 2)), "") << "a whole byte cut off";
}

TEST(DecryptCredential, FieldsOfLengthsTheCipherRefusesAreRejected)
{
    const std::string text = Sealed("sk-fields");
    const std::string nonce = text.substr(4, 24), tag = text.substr(29, 32), ciphertext = text.substr(62);
    EXPECT_EQ(Opened("enc:" + nonce + ":" + tag.substr(0, 22) + ":" + ciphertext), "") << "11-byte tag";
    EXPECT_EQ(Opened("enc::" + tag + ":" + ciphertext), "") << "no nonce";
    EXPECT_EQ(Opened("enc:" + nonce + "::" + ciphertext), "") << "no tag";
    EXPECT_EQ(Opened("enc:" + nonce.substr(2) + ":" + tag + ":" + ciphertext), "") << "11-byte nonce";
}

TEST(DecryptCredential, ForeignOrMalformedTextsGiveNothing)
{
    struct Row {
        const char* text;
        const char* why;
    } rows[] = {
        {kFromElsewhere, "written on a computer with another name"},
        {"enc:", "prefix alone"},
        {"enc:0011", "no colon"},
        {"enc:0011:2233", "one colon"},
        {"enc:::", "all fields empty"},
        {"enc:zz:zz:zz", "garbage digits"},
        {"enc:0102030405060708090a0b0:5a1f8000ab7ddf3c5da9dab37db7eda0:ff66c565e07a6ea16ded796e", "odd nonce"},
    };
    for (const Row& row : rows) EXPECT_EQ(Opened(row.text), "") << row.why;
}

TEST(DecryptCredential, TextWithoutTheExactPrefixIsReturnedUnchanged)
{
    for (const char* text : {"sk-plain-key", "ENC:0011:2233:4455", "Enc:00:11:22", "enc", "", " enc:00:11:22"})
        EXPECT_EQ(Opened(text), text);
}

// Places files where the start-up pre-fill looks for them and restores whatever was there.
class PrefillTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t profile[MAX_PATH] = {};
        ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)));
        credentials = std::filesystem::path(profile) / L".harrowby" / L"credentials";
        file = credentials / L"dashscope-native";
        ASSERT_FALSE(std::filesystem::exists(Backup())) << "a previous run left its backup behind";
        hadState = std::filesystem::exists(credentials.parent_path());
        if (hadState) std::filesystem::rename(credentials.parent_path(), Backup());
        std::filesystem::create_directories(credentials);
        profileFolder = profile;
    }
    void TearDown() override
    {
        std::filesystem::remove_all(credentials.parent_path());
        if (hadState) std::filesystem::rename(Backup(), credentials.parent_path());
    }
    void Prefill() { PrefillDashscopeKey(profileFolder, Settings.dashscopeKey); }
    std::filesystem::path Backup() const { return credentials.parent_path().parent_path() / L".harrowby-vault-test-backup"; }
    void WriteCredential(const std::filesystem::path& path, const std::string& bytes) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }
    struct Fields {
        std::wstring apiKey;
        std::wstring dashscopeKey;
    } Settings;
    std::filesystem::path profileFolder;
    std::filesystem::path credentials;
    std::filesystem::path file;
    bool hadState = false;
};

TEST_F(PrefillTest, EncryptedKeyIsFilledAsUtf16)
{
    WriteCredential(file, Sealed(kKatPlaintext));
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"sk-测试-0123456789");
}

TEST_F(PrefillTest, TrailingLineEndAfterAnEncryptedValueIsStripped)
{
    WriteCredential(file, Sealed("sk-crlf") + "\r\n");
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"sk-crlf");
}

TEST_F(PrefillTest, PlainKeyLosesTrailingBlanksButKeepsLeadingOnes)
{
    WriteCredential(file, " sk-plain\t  \r\n");
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L" sk-plain\t") << "only LF, CR and space are stripped, only at the end";
}

TEST_F(PrefillTest, KeyFromTheRegistryIsLeftAlone)
{
    WriteCredential(file, Sealed("sk-from-file"));
    Settings.dashscopeKey = L"sk-from-registry";
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"sk-from-registry");
}

TEST_F(PrefillTest, MissingFileOrStateDirectoryLeavesTheKeyEmpty)
{
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "missing file";
    std::filesystem::remove_all(credentials.parent_path());
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "missing state directory";
}

TEST_F(PrefillTest, UndecryptableEmptyOrDirectoryLeavesTheKeyEmpty)
{
    WriteCredential(file, ChangeByte(Sealed("sk-tampered"), 70));
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "tampered value";
    WriteCredential(file, kFromElsewhere);
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "value from another computer";
    WriteCredential(file, " \r\n");
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "blank file";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    Prefill();
    EXPECT_EQ(Settings.dashscopeKey, L"") << "a directory in the file's place";
}

TEST_F(PrefillTest, MainApiKeyIsNeverReadBack)
{
    WriteCredential(credentials / L"qwen-portal_default", Sealed("sk-main"));
    Prefill();
    EXPECT_EQ(Settings.apiKey, L"");
    EXPECT_EQ(Settings.dashscopeKey, L"");
}

}  // namespace
