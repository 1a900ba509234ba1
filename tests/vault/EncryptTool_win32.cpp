// Exposes the credential cipher to the Python cross-check; names and plaintexts are printed in hex.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "base/Hex.h"
#include "base/Text.h"
#include "vault/Cipher_win32.h"

using detail::CredentialComputerName;

namespace {

std::string Hex(const std::string& bytes)
{
    return HexEncode(CredentialBytes(bytes.begin(), bytes.end()));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: encrypt_tool encrypt KEY | decrypt TEXT\n", stderr);
        return 2;
    }
    const std::string argument = WideToUtf8(argv[2]);
    if (std::wcscmp(argv[1], L"encrypt") == 0) {
        std::string text;
        const bool sealed = static_cast<bool>(EncryptCredential(argument, text));
        std::printf("name %s\ntext %s\n", Hex(CredentialComputerName()).c_str(), text.c_str());
        return sealed ? 0 : 1;
    }
    if (std::wcscmp(argv[1], L"decrypt") == 0) {
        std::string plaintext;
        const bool opened = static_cast<bool>(DecryptCredential(argument, plaintext));
        std::printf("opened %d\nplain %s\n", opened ? 1 : 0, Hex(plaintext).c_str());
        return 0;
    }
    return 2;
}
