#pragma once
#include <filesystem>
#include <string>

std::string ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes);
// Windows only: copies a file over an existing one, throwing std::filesystem::filesystem_error on failure.
void CopyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
