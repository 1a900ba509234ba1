#pragma once
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Outcome.h"

// Raw bytes of a credential's fields, and the AES-256 key that seals them.
using CredentialBytes = std::vector<unsigned char>;
using CredentialKey = std::array<unsigned char, 32>;

// The three fields of an "enc:" text.
struct CredentialCipherText {
    CredentialBytes nonce;
    CredentialBytes tag;
    CredentialBytes ciphertext;
};

inline constexpr std::string_view kCredentialPrefix = "enc:";
inline constexpr std::string_view kCredentialKeyConstant = "lanternfly-cipherbox-v1";
inline constexpr unsigned long long kCredentialKeyIterations = 100000;
inline constexpr size_t kCredentialNonceSize = 12;
inline constexpr size_t kCredentialTagSize = 16;
// The multimodal key's file in the credentials folder.
inline constexpr char kDashscopeCredentialFile[] = "dashscope-native";

// Whether the text starts with "enc:".
bool HasCredentialPrefix(std::string_view text);
// "enc:" nonce ":" tag ":" ciphertext, each in hex.
std::string ComposeCredentialText(const CredentialCipherText& parts);
// The three fields of an "enc:" text, or nothing when a separator is missing.
std::optional<CredentialCipherText> ParseCredentialText(std::string_view text);
// The key derivation's password: the computer name followed by the fixed constant.
std::string CredentialPassword(std::string_view computerName);
// The file's text without the line ends and blanks that editors add at its end.
std::string TrimCredentialFileText(std::string text);
// Where the multimodal key is stored under a user profile.
std::filesystem::path DashscopeCredentialPath(const std::filesystem::path& profile);

// Windows only: the "enc:" text of the plaintext, with a fresh random nonce.
Outcome EncryptCredential(const std::string& plaintext, std::string& text);
// Windows only: the plaintext of an "enc:" text; a text without the prefix is a plain key and passes through.
Outcome DecryptCredential(const std::string& text, std::string& plaintext);
// Windows only: fills an empty field with the multimodal key stored under the profile, if one can be read.
void PrefillDashscopeKey(const std::filesystem::path& profile, std::wstring& field);

// For the tests only: the steps EncryptCredential and DecryptCredential are made of.
namespace detail {
// Windows only: the computer's ANSI name, empty when it cannot be read.
std::string CredentialComputerName();
// Windows only: PBKDF2-HMAC-SHA-256 of the password for that computer name.
bool DeriveCredentialKeyForName(std::string_view computerName, CredentialKey& key);
// Windows only: the key for this computer.
bool DeriveCredentialKey(CredentialKey& key);
// Windows only: AES-256-GCM of the plaintext under key and nonce.
bool SealCredential(const CredentialKey& key, const CredentialBytes& nonce, std::string_view plaintext, CredentialCipherText& sealed);
// Windows only: the plaintext, or nothing when the tag is refused.
std::optional<std::string> OpenCredential(const CredentialKey& key, const CredentialCipherText& sealed);
}  // namespace detail
