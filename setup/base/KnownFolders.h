#pragma once
#include <filesystem>

// The user's folders the installer writes to; a path is empty when Windows names none.
struct KnownFolders {
    std::filesystem::path temp;          // ends in a separator, as the system gives it
    std::filesystem::path localAppData;
    std::filesystem::path profile;
    std::filesystem::path desktop;
};

// Windows only: each folder from the environment where the user's session names it, else from the shell.
KnownFolders FindKnownFolders();
