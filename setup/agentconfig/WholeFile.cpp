#include "WholeFile.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/Files.h"
#include "base/SystemError.h"

namespace {

// What went wrong, in the system's words, after the file's name.
Outcome FileFailure(const wchar_t* what, const std::filesystem::path& path, const std::wstring& reason)
{
    std::wstring text = what + path.wstring();
    if (!reason.empty()) text += L" (" + reason + L")";
    return Failure(text);
}

std::wstring RuntimeErrorText(int error)
{
    return error != 0 ? ErrorCodeText(std::error_code(error, std::generic_category())) : std::wstring();
}

}  // namespace

// Byte mode, no newline translation. The stream may throw on a folder, so the read is guarded
// and its failure reported like any other.
Outcome ReadWholeFile(const std::filesystem::path& path, std::string& bytes)
{
    bytes.clear();
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return FileFailure(L"无法读取文件 ", path, RuntimeErrorText(EISDIR));
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
    return FileFailure(L"无法读取文件 ", path, RuntimeErrorText(error));
}

// The new text replaces the old only once it is complete, so a full disk or a cut-off write never
// leaves a fragment where a good file was. A scanner that holds the file for a moment is waited out.
Outcome WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, const RetryPacing& pacing)
{
    const FileResult written = Retried([&] { return ReplaceFileBytes(path, bytes.data(), bytes.size()); }, pacing);
    return written ? Success() : FileFailure(L"无法写入文件 ", path, written.reason);
}
