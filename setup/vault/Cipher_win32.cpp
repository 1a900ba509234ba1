#include "Cipher_win32.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>

#include "base/Scoped_win32.h"

namespace {

// Opens AES-GCM over the key and runs one cipher call; the handles go and the key copy is wiped on every path.
template <typename Operation>
bool WithGcmKey(const CredentialKey& key, Operation operation)
{
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened, BCRYPT_AES_ALGORITHM, nullptr, 0))) return false;
    const ScopedAlgorithm provider(opened);
    // Without GCM the provider would stay in its default mode, which has no tag.
    if (!BCRYPT_SUCCESS(BCryptSetProperty(provider.get(), BCRYPT_CHAINING_MODE,
                                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                          sizeof(BCRYPT_CHAIN_MODE_GCM), 0)))
        return false;
    CredentialKey keyCopy = key;
    BCRYPT_KEY_HANDLE generated = nullptr;
    BCryptGenerateSymmetricKey(provider.get(), &generated, nullptr, 0, keyCopy.data(),
                               static_cast<ULONG>(keyCopy.size()), 0);
    SecureZeroMemory(keyCopy.data(), keyCopy.size());
    if (!generated) return false;
    const ScopedKey keyHandle(generated);
    return operation(keyHandle.get());
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
std::string detail::CredentialComputerName()
{
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    GetComputerNameA(buffer, &size);
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

bool detail::DeriveCredentialKeyForName(std::string_view computerName, CredentialKey& key)
{
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    const ScopedAlgorithm hmac(opened);
    std::string password = CredentialPassword(computerName);
    std::string salt(kCredentialKeyConstant);
    const NTSTATUS status = BCryptDeriveKeyPBKDF2(
        hmac.get(), reinterpret_cast<PUCHAR>(password.data()), static_cast<ULONG>(password.size()),
        reinterpret_cast<PUCHAR>(salt.data()), static_cast<ULONG>(salt.size()), kCredentialKeyIterations,
        key.data(), static_cast<ULONG>(key.size()), 0);
    SecureZeroMemory(password.data(), password.size());
    if (!BCRYPT_SUCCESS(status)) SecureZeroMemory(key.data(), key.size());
    return BCRYPT_SUCCESS(status);
}

// The key is bound to this machine: the password starts with the computer's ANSI name.
bool detail::DeriveCredentialKey(CredentialKey& key)
{
    return detail::DeriveCredentialKeyForName(detail::CredentialComputerName(), key);
}

bool detail::SealCredential(const CredentialKey& key, const CredentialBytes& nonce, std::string_view plaintext,
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
std::optional<std::string> detail::OpenCredential(const CredentialKey& key, const CredentialCipherText& sealed)
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

Outcome EncryptCredential(const std::string& plaintext, std::string& text)
{
    text.clear();
    CredentialKey key{};
    Outcome outcome = Failure(L"无法生成加密密钥");
    if (detail::DeriveCredentialKey(key)) {
        CredentialBytes nonce(kCredentialNonceSize, 0);
        CredentialCipherText sealed;
        // A nonce that is not random would repeat under this machine's fixed key.
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, nonce.data(), static_cast<ULONG>(nonce.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            outcome = Failure(L"无法生成随机数");
        else if (!detail::SealCredential(key, nonce, plaintext, sealed))
            outcome = Failure(L"加密失败");
        else
            text = ComposeCredentialText(sealed), outcome = Success();
    }
    SecureZeroMemory(key.data(), key.size());
    return outcome;
}

// Text without the prefix is a plain key written by hand and passes through unchanged.
Outcome DecryptCredential(const std::string& text, std::string& plaintext)
{
    plaintext.clear();
    if (!HasCredentialPrefix(text)) {
        plaintext = text;
        return Success();
    }
    const std::optional<CredentialCipherText> fields = ParseCredentialText(text);
    if (!fields) return Failure(L"凭据格式无效");
    CredentialKey key{};
    std::optional<std::string> opened;
    const bool derived = detail::DeriveCredentialKey(key);
    if (derived) opened = detail::OpenCredential(key, *fields);
    SecureZeroMemory(key.data(), key.size());
    if (!derived) return Failure(L"无法生成加密密钥");
    if (!opened) return Failure(L"凭据无法解密");
    plaintext = std::move(*opened);
    return Success();
}
