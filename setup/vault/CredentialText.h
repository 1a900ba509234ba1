#pragma once
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
