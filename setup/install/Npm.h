#pragma once
#include "InstallRun.h"

// npm for the product, its output relayed to the log; a cancellation ends the run without a done event.
RunEnd InstallProductDependencies(InstallRun& run);
// npm for each skill folder with a package.json; a cancellation ends the run without a done event.
RunEnd InstallSkillDependencies(InstallRun& run);
