#pragma once
#include "InstallRun.h"

// Marks the packages already on the machine (each kind that can tell), logging what it found.
void DetectInstalledComponents(InstallRun& run);
// Downloads and puts in place every package not already present, one step each.
RunEnd DownloadPackages(InstallRun& run);
