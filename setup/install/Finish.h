#pragma once
#include <string>

#include "InstallRun.h"

// Saves the choices to the registry and puts the shortcut on the desktop.
RunEnd SaveChoicesAndShortcut(InstallRun& run);
// Records the skill repository and closes the log with the completion banner.
RunEnd FinishWithBanner(InstallRun& run);
