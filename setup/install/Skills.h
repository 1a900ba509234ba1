#pragma once
#include "InstallRun.h"

// Downloads and unpacks each skill to install, one step each; a failed skill is a warning.
RunEnd InstallSkills(InstallRun& run);
