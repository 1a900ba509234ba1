#include "Vault.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>

namespace {

// Opens AES-GCM over the key, runs one cipher call, and releases both handles on every path.
template <typename Operation>
bool WithGcmKey(const CredentialKey& key, Operation operation)
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_KEY_HANDLE keyHandle = nullptr;
    CredentialKey keyCopy = key;
    bool ok = false;
    BCryptOpenAlgorithmProvider(&provider, BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (provider) {
        BCryptSetProperty(provider, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                          sizeof(BCRYPT_CHAIN_MODE_GCM), 0);
        BCryptGenerateSymmetricKey(provider, &keyHandle, nullptr, 0, keyCopy.data(),
                                   static_cast<ULONG>(keyCopy.size()), 0);
        if (keyHandle) ok = operation(keyHandle);
    }
    if (keyHandle) BCryptDestroyKey(keyHandle);
    if (provider) BCryptCloseAlgorithmProvider(provider, 0);
    SecureZeroMemory(keyCopy.data(), keyCopy.size());
    return ok;
}

// A null output pointer turns a cipher call into a size query, which skips the tag; never pass one.
PUCHAR OutputPointer(CredentialBytes& buffer, ULONG size)
{
    buffer.assign(std::max<ULONG>(size, 1), 0);
    return buffer.data();
}

void PointAtNonceAndTag(BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO& info, CredentialBytes& nonce, CredentialBytes& tag)
{
    info.pbNonce = nonce.data();
    info.cbNonce = static_cast<ULONG>(nonce.size());
    info.pbTag = tag.data();
    info.cbTag = static_cast<ULONG>(tag.size());
}

}  // namespace

// Read into a zeroed buffer so that a failed call leaves the empty name, as the writer saw it.
std::string CredentialComputerName()
{
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    GetComputerNameA(buffer, &size);
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

bool DeriveCredentialKeyForName(std::string_view computerName, CredentialKey& key)
{
    BCRYPT_ALG_HANDLE hmac = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    std::string password = CredentialPassword(computerName);
    std::string salt(kCredentialKeyConstant);
    const NTSTATUS status = BCryptDeriveKeyPBKDF2(
        hmac, reinterpret_cast<PUCHAR>(password.data()), static_cast<ULONG>(password.size()),
        reinterpret_cast<PUCHAR>(salt.data()), static_cast<ULONG>(salt.size()), kCredentialKeyIterations,
        key.data(), static_cast<ULONG>(key.size()), 0);
    SecureZeroMemory(password.data(), password.size());
    BCryptCloseAlgorithmProvider(hmac, 0);
    if (!BCRYPT_SUCCESS(status)) SecureZeroMemory(key.data(), key.size());
    return BCRYPT_SUCCESS(status);
}

// The key is bound to this machine: the password starts with the computer's ANSI name.
bool DeriveCredentialKey(CredentialKey& key)
{
    return DeriveCredentialKeyForName(CredentialComputerName(), key);
}

bool SealCredential(const CredentialKey& key, const CredentialBytes& nonce, std::string_view plaintext,
                    CredentialCipherText& sealed)
{
    static unsigned char emptyInput = 0;
    CredentialBytes nonceCopy = nonce;
    CredentialBytes tag(kCredentialTagSize, 0);
    CredentialBytes output;
    PUCHAR input = plaintext.empty() ? &emptyInput
                                     : reinterpret_cast<PUCHAR>(const_cast<char*>(plaintext.data()));
    const ULONG inputSize = static_cast<ULONG>(plaintext.size());
    const bool ok = WithGcmKey(key, [&](BCRYPT_KEY_HANDLE keyHandle) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
        BCRYPT_INIT_AUTH_MODE_INFO(info);
        PointAtNonceAndTag(info, nonceCopy, tag);
        ULONG size = 0;
        BCryptEncrypt(keyHandle, input, inputSize, &info, nullptr, 0, nullptr, 0, &size, 0);
        PUCHAR out = OutputPointer(output, size);
        PointAtNonceAndTag(info, nonceCopy, tag);
        ULONG written = 0;
        if (!BCRYPT_SUCCESS(BCryptEncrypt(keyHandle, input, inputSize, &info, nullptr, 0, out, size, &written, 0)))
            return false;
        output.resize(std::min<size_t>(written, size));
        return true;
    });
    if (!ok) return false;
    sealed = {std::move(nonceCopy), std::move(tag), std::move(output)};
    return true;
}

// A refused tag still leaves plaintext in the output buffer under some CNG versions, so it is wiped.
std::optional<std::string> OpenCredential(const CredentialKey& key, const CredentialCipherText& sealed)
{
    CredentialCipherText fields = sealed;
    CredentialBytes output;
    ULONG written = 0;
    const ULONG inputSize = static_cast<ULONG>(fields.ciphertext.size());
    const bool ok = WithGcmKey(key, [&](BCRYPT_KEY_HANDLE keyHandle) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
        BCRYPT_INIT_AUTH_MODE_INFO(info);
        PointAtNonceAndTag(info, fields.nonce, fields.tag);
        ULONG size = 0;
        BCryptDecrypt(keyHandle, fields.ciphertext.data(), inputSize, &info, nullptr, 0, nullptr, 0, &size, 0);
        PUCHAR out = OutputPointer(output, size);
        PointAtNonceAndTag(info, fields.nonce, fields.tag);
        const NTSTATUS status =
            BCryptDecrypt(keyHandle, fields.ciphertext.data(), inputSize, &info, nullptr, 0, out, size, &written, 0);
        written = std::min(written, size);
        return BCRYPT_SUCCESS(status);
    });
    std::optional<std::string> plaintext;
    if (ok) plaintext.emplace(output.begin(), output.begin() + written);
    SecureZeroMemory(output.data(), output.size());
    return plaintext;
}

std::string EncryptCredential(const std::string& plaintext)
{
    CredentialKey key{};
    std::string text;
    if (DeriveCredentialKey(key)) {
        CredentialBytes nonce(kCredentialNonceSize, 0);
        BCryptGenRandom(nullptr, nonce.data(), static_cast<ULONG>(nonce.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        CredentialCipherText sealed;
        if (SealCredential(key, nonce, plaintext, sealed)) text = ComposeCredentialText(sealed);
    }
    SecureZeroMemory(key.data(), key.size());
    return text;
}

// Text without the prefix is a plain key written by hand and passes through unchanged.
std::string DecryptCredential(const std::string& text)
{
    if (!HasCredentialPrefix(text)) return text;
    const std::optional<CredentialCipherText> fields = ParseCredentialText(text);
    if (!fields) return {};
    CredentialKey key{};
    std::optional<std::string> plaintext;
    if (DeriveCredentialKey(key)) plaintext = OpenCredential(key, *fields);
    SecureZeroMemory(key.data(), key.size());
    return plaintext ? std::move(*plaintext) : std::string();
}
