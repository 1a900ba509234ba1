#pragma once
#include <filesystem>

// The agent's state directory and the folders below it that the installer fills.
struct StateDirectory {
    std::filesystem::path stateDir;
    std::filesystem::path agentDir;
    std::filesystem::path canvasDir;
};

// The state directory ".harrowby" under a user profile folder.
StateDirectory StateDirectoryUnder(const std::filesystem::path& profile);
