#include "WholeFile.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/Text.h"

namespace {

// What went wrong, as the C runtime words it, after the file's name.
Outcome FileFailure(const wchar_t* what, const std::filesystem::path& path, int error)
{
    std::wstring text = what + path.wstring();
    if (error != 0) text += L" (" + Utf8ToWide(std::generic_category().message(error)) + L")";
    return Failure(text);
}

}  // namespace

// Byte mode, no newline translation. The stream may throw on a folder, so the read is guarded
// and its failure reported like any other.
Outcome ReadWholeFile(const std::filesystem::path& path, std::string& bytes)
{
    bytes.clear();
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return FileFailure(L"无法读取文件 ", path, EISDIR);
    errno = 0;
    try {
        std::ifstream in(path, std::ios::binary);
        if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in && !in.bad()) return Success();
    } catch (const std::exception&) {
        // reported below like any other failed read
    }
    const int error = errno;
    bytes.clear();
    return FileFailure(L"无法读取文件 ", path, error);
}

Outcome WriteWholeFile(const std::filesystem::path& path, const std::string& bytes)
{
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) out.close();
    if (!out) return FileFailure(L"无法写入文件 ", path, errno);
    return Success();
}
