#pragma once
#include <filesystem>

#include "base/InstallEvents.h"
#include "install/Platform.h"

// How a removal ended: everything listed went, something could not go, the user stopped while
// Quillmere still ran, or the folder holds no record to go by.
enum class UninstallEnd { Removed, Incomplete, Stopped, NoRecord };

// Removes the installation in installDir as its record lists it, telling events what went and
// what stayed; the state directory only when asked. Exit code: 0 only for Removed.
UninstallEnd Uninstall(const std::filesystem::path& installDir, bool removeStateDirectory,
                       const InstallPlatform& platform, const InstallEvents& events);
int UninstallExitCode(UninstallEnd end);
