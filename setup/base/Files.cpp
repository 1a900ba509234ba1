#include "Files.h"

#include <fstream>
#include <system_error>

#include "Text.h"

namespace fs = std::filesystem;

namespace {

// Off Windows nothing holds a file against a rename or a delete, so no refusal is transient.
FileResult FromError(const std::error_code& error)
{
    if (!error) return {};
    return {static_cast<uint32_t>(error.value()), Utf8ToWide(error.message()), false};
}

}  // namespace

FileResult CreateFolders(const fs::path& folder)
{
    std::error_code error;
    if (fs::is_directory(folder, error)) return {};
    fs::create_directories(folder, error);
    return FromError(error);
}

FileResult RemoveFile(const fs::path& file)
{
    std::error_code error;
    fs::remove(file, error);
    return FromError(error);
}

FileResult RemoveTree(const fs::path& folder)
{
    std::error_code error;
    fs::remove_all(folder, error);
    return FromError(error);
}

FileResult RemoveEmptyFolder(const fs::path& folder)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder, error);
    if (!fs::exists(status)) return {};
    if (!fs::is_directory(status)) return FromError(std::make_error_code(std::errc::not_a_directory));
    fs::remove(folder, error);
    return FromError(error);
}

FileResult MovePath(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    fs::rename(from, to, error);
    return FromError(error);
}

fs::path BesideTarget(const fs::path& file)
{
    fs::path temporary = file;
    temporary += ".quillmere-new";
    return temporary;
}

// rename replaces the target in one step; until then the old file is untouched.
FileResult MoveOver(const fs::path& temporary, const fs::path& file)
{
    std::error_code error;
    fs::rename(temporary, file, error);
    std::error_code ignored;
    if (error) fs::remove(temporary, ignored);
    return FromError(error);
}

FileResult CopyFileOver(const fs::path& from, const fs::path& to)
{
    const fs::path temporary = BesideTarget(to);
    std::error_code error;
    fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return FromError(error);
    }
    return MoveOver(temporary, to);
}

FileResult WriteFileBytes(const fs::path& file, const char* bytes, size_t size)
{
    errno = 0;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return FromError(std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    out.write(bytes, static_cast<std::streamsize>(size));
    out.close();
    if (out) return {};
    const FileResult failed = FromError(std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    std::error_code ignored;
    fs::remove(file, ignored);
    return failed;
}

FileResult ReplaceFileBytes(const fs::path& file, const char* bytes, size_t size)
{
    const fs::path temporary = BesideTarget(file);
    const FileResult written = WriteFileBytes(temporary, bytes, size);
    if (!written) return written;
    return MoveOver(temporary, file);
}

FileResult ListFiles(const fs::path& folder, std::vector<fs::path>& files)
{
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error) && !it->is_symlink(error)) files.push_back(it->path().lexically_relative(folder));
    return FromError(error);
}

bool IsFolder(const fs::path& path)
{
    std::error_code ignored;
    return fs::is_directory(path, ignored);
}
