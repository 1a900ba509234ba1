#pragma once
#include <filesystem>
#include <string>

#include "base/Outcome.h"
#include "base/Retry.h"

// The whole file in byte mode; fails for a file that is missing, locked or a folder.
Outcome ReadWholeFile(const std::filesystem::path& path, std::string& bytes);
// Replaces the file with the bytes, in byte mode, trying again while another program refuses it.
Outcome WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, const RetryPacing& pacing = {});
