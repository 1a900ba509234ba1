#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// How one call to the file system ended, as the system answered it.
struct FileResult {
    uint32_t code = 0;      // the system's error code; 0 after success
    std::wstring reason{};  // the system's own words for it; empty after success
    bool transient = false; // a refusal that may pass: another program holds the file for a moment

    explicit operator bool() const { return code == 0; }
};

// Creates a folder and its missing parents; one that already stands there counts as created.
FileResult CreateFolders(const std::filesystem::path& folder);
// Removes a file; one that is not there counts as removed.
FileResult RemoveFile(const std::filesystem::path& file);
// Removes a folder with everything inside, never following a link out of it; absent counts as removed.
FileResult RemoveTree(const std::filesystem::path& folder);
// Removes a folder only when nothing is inside; absent counts as removed, one with content is refused.
FileResult RemoveEmptyFolder(const std::filesystem::path& folder);
// Gives a file or folder a new name, replacing a file of that name.
FileResult MovePath(const std::filesystem::path& from, const std::filesystem::path& to);
// Copies a file, replacing one at the destination only once the copy is complete: on any failure
// the earlier file is left byte for byte.
FileResult CopyFileOver(const std::filesystem::path& from, const std::filesystem::path& to);
// Writes the bytes to a new file beside the target and moves it over the target once it is
// complete and on the disk: on any failure the earlier file is left byte for byte.
FileResult ReplaceFileBytes(const std::filesystem::path& file, const char* bytes, size_t size);
// Creates or truncates a file and writes the bytes into it; one that was opened but not filled is
// removed again, never left cut short. One that cannot be opened is left as it stands.
FileResult WriteFileBytes(const std::filesystem::path& file, const char* bytes, size_t size);
// Adds the path of every file under folder, relative to it, to files; links are not followed.
FileResult ListFiles(const std::filesystem::path& folder, std::vector<std::filesystem::path>& files);
// Whether a folder stands under that name.
bool IsFolder(const std::filesystem::path& path);
