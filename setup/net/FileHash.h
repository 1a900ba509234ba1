#pragma once
#include <filesystem>
#include <string>

#include "base/Outcome.h"

// Windows only: the file's SHA-256 in lower-case hex.
Outcome FileSha256(const std::filesystem::path& path, std::string& hex);
