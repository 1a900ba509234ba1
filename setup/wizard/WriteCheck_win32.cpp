#include "WriteCheck.h"

#include <windows.h>

namespace fs = std::filesystem;

namespace {

bool IsFolder(const fs::path& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

FolderCreation CreateFolder(const fs::path& folder)
{
    if (CreateDirectoryW(folder.c_str(), nullptr)) return FolderCreation::Created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? FolderCreation::AlreadyThere : FolderCreation::Failed;
}

// Deleted on close, so that no probe is left behind whatever fails after the file was made; the
// open itself asks for the right to delete it.
bool WriteAndDeleteFile(const fs::path& file)
{
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const char byte = 0;
    DWORD written = 0;
    const bool wrote = WriteFile(handle, &byte, 1, &written, nullptr) && written == 1;
    return CloseHandle(handle) && wrote;
}

// A scanner that looks at the probe file as it goes can hold the folder for a moment.
void RemoveFolder(const fs::path& folder)
{
    for (DWORD pause = 50; !RemoveDirectoryW(folder.c_str()) && pause <= 400; pause *= 2) {
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_ACCESS_DENIED &&
            error != ERROR_DIR_NOT_EMPTY)
            return;
        Sleep(pause);
    }
}

}  // namespace

FolderCalls Win32FolderCalls()
{
    return {IsFolder, CreateFolder, WriteAndDeleteFile, RemoveFolder};
}
