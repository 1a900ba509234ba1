#include "Files.h"

#include <windows.h>

#include <algorithm>

#include "LongPath.h"
#include "Scoped_win32.h"
#include "SystemError.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kLargestWrite = 64u << 20;

// Every path reaches Windows in the form that works at any length.
std::wstring Native(const fs::path& path)
{
    return ExtendedLengthPath(path.wstring());
}

// A virus scanner or an indexer that has the file open shows as one of these three for a moment.
FileResult Failed(DWORD code)
{
    const bool transient =
        code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
    return {code, SystemErrorText(code), transient};
}

FileResult LastError()
{
    return Failed(GetLastError());
}

bool IsAbsence(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

DWORD AttributesOf(const fs::path& path)
{
    return GetFileAttributesW(Native(path).c_str());
}

// A read-only file refuses a delete for good; ours may carry the flag from an archive or a copy.
FileResult DeleteOneFile(const fs::path& file, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(Native(file).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(Native(file).c_str())) return {};
    const DWORD code = GetLastError();
    return IsAbsence(code) ? FileResult{} : Failed(code);
}

FileResult RemoveFolderItself(const fs::path& folder)
{
    if (RemoveDirectoryW(Native(folder).c_str())) return {};
    const DWORD code = GetLastError();
    return IsAbsence(code) ? FileResult{} : Failed(code);
}

FileResult RemoveEntry(const fs::path& path, DWORD attributes);

// Calls visit for every name in folder but "." and ".."; the first failure of visit ends the walk.
template <typename Visit>
FileResult ForEachEntry(const fs::path& folder, const Visit& visit)
{
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileExW(Native(folder / L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES ? FileResult{} : Failed(code);
    }
    struct FindCloser {
        void operator()(HANDLE handle) const { FindClose(handle); }
    };
    const std::unique_ptr<void, FindCloser> owned(search);
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (FileResult visited = visit(name, found.dwFileAttributes); !visited) return visited;
    } while (FindNextFileW(search, &found));
    const DWORD code = GetLastError();
    return code == ERROR_NO_MORE_FILES ? FileResult{} : Failed(code);
}

// A link or junction inside is removed as a link: what it points at is not ours.
FileResult RemoveContents(const fs::path& folder)
{
    return ForEachEntry(folder, [&](const std::wstring& name, DWORD attributes) {
        return RemoveEntry(folder / name, attributes);
    });
}

FileResult ListUnder(const fs::path& root, const fs::path& relative, std::vector<fs::path>& files)
{
    return ForEachEntry(root / relative, [&](const std::wstring& name, DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileResult{};
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            files.push_back(relative / name);
            return FileResult{};
        }
        return ListUnder(root, relative / name, files);
    });
}

FileResult RemoveEntry(const fs::path& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteOneFile(path, attributes);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        if (FileResult emptied = RemoveContents(path); !emptied) return emptied;
    return RemoveFolderItself(path);
}

// A network drive may report a failed write only when the handle is closed. A file that is to
// replace another is flushed first, so that a power cut cannot leave an empty file in its place.
FileResult FillFile(HANDLE handle, const char* bytes, size_t size, bool flush)
{
    ScopedHandle owned(handle);
    for (size_t done = 0; done < size;) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, kLargestWrite));
        DWORD written = 0;
        if (!WriteFile(handle, bytes + done, chunk, &written, nullptr)) return LastError();
        if (written == 0) return Failed(ERROR_WRITE_FAULT);
        done += written;
    }
    if (flush && !FlushFileBuffers(handle)) return LastError();
    if (!CloseHandle(owned.release())) return LastError();
    return {};
}

fs::path BesideTarget(const fs::path& file)
{
    fs::path temporary = file;
    temporary += L".quillmere-new";
    return temporary;
}

// The new file takes the old one's name in one step; until then the old one is untouched.
FileResult MoveOver(const fs::path& temporary, const fs::path& file)
{
    FileResult moved;
    if (!MoveFileExW(Native(temporary).c_str(), Native(file).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        moved = LastError();
    if (!moved) DeleteFileW(Native(temporary).c_str());
    return moved;
}

// What is not there counts as removed; what is, goes as remove says.
FileResult RemoveIfThere(const fs::path& path, FileResult (*remove)(const fs::path&, DWORD attributes))
{
    const DWORD attributes = AttributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) return remove(path, attributes);
    const DWORD code = GetLastError();
    return IsAbsence(code) ? FileResult{} : Failed(code);
}

}  // namespace

FileResult CreateFolders(const fs::path& folder)
{
    const DWORD attributes = AttributesOf(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder)
        if (FileResult made = CreateFolders(parent); !made) return made;
    if (CreateDirectoryW(Native(folder).c_str(), nullptr)) return {};
    const DWORD code = GetLastError();
    return code == ERROR_ALREADY_EXISTS && IsFolder(folder) ? FileResult{} : Failed(code);
}

FileResult RemoveFile(const fs::path& file)
{
    return RemoveIfThere(file, DeleteOneFile);
}

FileResult RemoveTree(const fs::path& folder)
{
    return RemoveIfThere(folder, RemoveEntry);
}

// RemoveDirectoryW itself refuses a folder with anything inside.
FileResult RemoveEmptyFolder(const fs::path& folder)
{
    return RemoveFolderItself(folder);
}

FileResult MovePath(const fs::path& from, const fs::path& to)
{
    if (MoveFileExW(Native(from).c_str(), Native(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    return LastError();
}

FileResult CopyFileOver(const fs::path& from, const fs::path& to)
{
    const fs::path temporary = BesideTarget(to);
    if (!CopyFileW(Native(from).c_str(), Native(temporary).c_str(), FALSE)) {
        const FileResult copied = LastError();
        DeleteFileW(Native(temporary).c_str());
        return copied;
    }
    return MoveOver(temporary, to);
}

FileResult WriteFileBytes(const fs::path& file, const char* bytes, size_t size)
{
    ScopedHandle handle = OwnFile(CreateFileW(Native(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return LastError();
    const FileResult filled = FillFile(handle.release(), bytes, size, false);
    if (!filled) DeleteFileW(Native(file).c_str());
    return filled;
}

FileResult ReplaceFileBytes(const fs::path& file, const char* bytes, size_t size)
{
    const fs::path temporary = BesideTarget(file);
    ScopedHandle handle = OwnFile(CreateFileW(Native(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return LastError();
    const FileResult filled = FillFile(handle.release(), bytes, size, true);
    if (!filled) {
        DeleteFileW(Native(temporary).c_str());
        return filled;
    }
    return MoveOver(temporary, file);
}

FileResult ListFiles(const fs::path& folder, std::vector<fs::path>& files)
{
    return ListUnder(folder, fs::path(), files);
}

bool IsFolder(const fs::path& path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
