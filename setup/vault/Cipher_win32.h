#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "base/Outcome.h"
#include "vault/CredentialText.h"

// Windows only: the "enc:" text of the plaintext, with a fresh random nonce.
Outcome EncryptCredential(const std::string& plaintext, std::string& text);
// Windows only: the plaintext of an "enc:" text; a text without the prefix is a plain key and passes through.
Outcome DecryptCredential(const std::string& text, std::string& plaintext);
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
