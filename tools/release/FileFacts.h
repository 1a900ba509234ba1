#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// What the manifest says about a file, measured from the file itself.
struct FileFacts {
    int64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

// The file's size and SHA-256; nothing when it is not a regular file that can be read to its end.
std::optional<FileFacts> ReadFileFacts(const std::filesystem::path& path);
