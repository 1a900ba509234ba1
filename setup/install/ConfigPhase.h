#pragma once
#include "InstallRun.h"

// Writes the installer's record and the agent's configuration, profiles, credentials and canvas files.
RunEnd WriteConfiguration(InstallRun& run);
