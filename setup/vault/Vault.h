#pragma once
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using CredentialBytes = std::vector<unsigned char>;
using CredentialKey = std::array<unsigned char, 32>;

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

std::string HexEncode(const CredentialBytes& bytes);
CredentialBytes HexDecode(std::string_view text);
bool HasCredentialPrefix(std::string_view text);
std::string ComposeCredentialText(const CredentialCipherText& parts);
std::optional<CredentialCipherText> ParseCredentialText(std::string_view text);
std::string CredentialPassword(std::string_view computerName);
std::string TrimCredentialFileText(std::string text);
std::filesystem::path DashscopeCredentialPath(const std::filesystem::path& profile);

std::string CredentialComputerName();
bool DeriveCredentialKeyForName(std::string_view computerName, CredentialKey& key);
bool DeriveCredentialKey(CredentialKey& key);
bool SealCredential(const CredentialKey& key, const CredentialBytes& nonce, std::string_view plaintext, CredentialCipherText& sealed);
std::optional<std::string> OpenCredential(const CredentialKey& key, const CredentialCipherText& sealed);
std::string EncryptCredential(const std::string& plaintext);
std::string DecryptCredential(const std::string& text);
void PrefillDashscopeKey();
