#pragma once
#include <filesystem>
#include <string>

#include "base/Outcome.h"
#include "base/Retry.h"

// The whole file in byte mode; fails for a file that is missing, locked or a folder.
Outcome ReadWholeFile(const std::filesystem::path& path, std::string& bytes);
// Replaces the file with the bytes, in byte mode, in one step once they are all written; tries again
// while another program refuses it. A failure leaves the earlier file as it was.
Outcome WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, const RetryPacing& pacing = {});
