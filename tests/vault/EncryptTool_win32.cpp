// Exposes the credential cipher to the Python cross-check; names and plaintexts are printed in hex.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "shell/Text.h"
#include "vault/Vault.h"

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
        std::printf("name %s\ntext %s\n", Hex(CredentialComputerName()).c_str(), EncryptCredential(argument).c_str());
        return 0;
    }
    if (std::wcscmp(argv[1], L"decrypt") == 0) {
        std::printf("plain %s\n", Hex(DecryptCredential(argument)).c_str());
        return 0;
    }
    return 2;
}
