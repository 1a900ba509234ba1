#pragma once
#include <filesystem>
#include <functional>
#include <string>

// What became of one folder the check tried to create.
enum class FolderCreation { Created, AlreadyThere, Failed };

// The file-system calls the write check makes.
struct FolderCalls {
    std::function<bool(const std::filesystem::path&)> isFolder;
    std::function<FolderCreation(const std::filesystem::path&)> createFolder;
    // Writes a file of that name and deletes it again; false when either was refused.
    std::function<bool(const std::filesystem::path&)> writeAndDeleteFile;
    std::function<void(const std::filesystem::path&)> removeFolder;  // an empty folder
};

// Whether files can be written into folder: creates it and its missing parents as the installation
// will, writes and deletes a file in it, then removes the folders the check itself created.
bool CanWriteFolder(const std::filesystem::path& folder, const FolderCalls& calls);
// The warning box's text for an installation folder the user cannot write to.
std::wstring UnwritableFolderText(const std::wstring& folder);
// Windows only: the calls made for real.
FolderCalls Win32FolderCalls();
