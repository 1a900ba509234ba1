#include "FileFacts.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <memory>

#include "base/Hex.h"

namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

} // namespace

std::optional<FileFacts> ReadFileFacts(const std::filesystem::path& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!in || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;

    // Read in pieces: a browser archive runs to hundreds of megabytes.
    std::array<char, 1 << 16> buffer;
    FileFacts facts;
    while (in) {
        in.read(buffer.data(), buffer.size());
        const std::streamsize got = in.gcount();
        if (got > 0 && EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got)) != 1)
            return std::nullopt;
        facts.size += got;
    }
    if (in.bad()) return std::nullopt;

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
    facts.sha256 = HexEncode({digest.data(), length});
    return facts;
}
