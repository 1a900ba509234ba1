#pragma once
#include <filesystem>

struct StateDirectory {
    std::filesystem::path stateDir;
    std::filesystem::path agentDir;
    std::filesystem::path canvasDir;
};

StateDirectory StateDirectoryUnder(const std::filesystem::path& profile);
std::filesystem::path UserProfileDirectory();
StateDirectory PrepareStateDirectory();
