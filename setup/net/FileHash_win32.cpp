#include "FileHash.h"

#include <windows.h>
#include <bcrypt.h>

#include <fstream>
#include <vector>

#include "base/Hex.h"
#include "base/Scoped_win32.h"

namespace {

constexpr size_t kReadBytes = 1 << 20;

}  // namespace

// Read in large pieces, so that a package of a few hundred megabytes costs little next to its download.
Outcome FileSha256(const std::filesystem::path& path, std::string& hex)
{
    hex.clear();
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return Failure(L"无法计算校验值");
    const ScopedAlgorithm provider(opened);
    BCRYPT_HASH_HANDLE created = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &created, nullptr, 0, nullptr, 0, 0)))
        return Failure(L"无法计算校验值");
    const ScopedHash hash(created);
    std::ifstream in(path, std::ios::binary);
    if (!in) return Failure(L"无法读取文件 " + path.wstring());
    std::vector<char> buffer(kReadBytes);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto count = static_cast<ULONG>(in.gcount());
        if (count > 0 && !BCRYPT_SUCCESS(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()), count, 0)))
            return Failure(L"无法计算校验值");
    }
    if (in.bad()) return Failure(L"无法读取文件 " + path.wstring());
    std::vector<unsigned char> digest(32, 0);
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
        return Failure(L"无法计算校验值");
    hex = HexEncode(digest);
    return Success();
}
