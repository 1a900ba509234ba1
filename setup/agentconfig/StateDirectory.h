#pragma once
#include <filesystem>

// The agent's state directory's name, under the user's profile folder.
inline constexpr wchar_t kStateDirectoryName[] = L".harrowby";

// The agent's state directory and the folders below it that the installer fills.
struct StateDirectory {
    std::filesystem::path stateDir;
    std::filesystem::path agentDir;
    std::filesystem::path canvasDir;
    std::filesystem::path credentialsDir;
};

// The state directory under a user profile folder.
StateDirectory StateDirectoryUnder(const std::filesystem::path& profile);
