#include "WholeFile.h"

#include <fstream>
#include <iterator>

// Byte mode, no newline translation. The stream may throw on a folder, so the read is guarded
// and its failure reported like any other.
Outcome ReadWholeFile(const std::filesystem::path& path, std::string& bytes)
{
    bytes.clear();
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return Failure(L"无法读取文件 " + path.wstring());
    try {
        std::ifstream in(path, std::ios::binary);
        if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in && !in.bad()) return Success();
    } catch (const std::exception&) {
    }
    bytes.clear();
    return Failure(L"无法读取文件 " + path.wstring());
}

Outcome WriteWholeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) out.close();
    if (!out) return Failure(L"无法写入文件 " + path.wstring());
    return Success();
}
