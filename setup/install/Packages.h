#pragma once
#include <string>

#include "InstallRun.h"
#include "archive/Zip.h"

// Marks the packages already on the machine (each kind that can tell), logging what it found.
void DetectInstalledComponents(InstallRun& run);
// Downloads and puts in place every package not already present, one step each.
RunEnd DownloadPackages(InstallRun& run);
// One line per entry of the report that did not become a file, prefix first; past twenty, a count.
void LogEntryFailures(const InstallRun& run, const ExtractReport& report, const std::wstring& prefix);
