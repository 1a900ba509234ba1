#pragma once
#include <string>

#include "base/Outcome.h"

// Unpacks every entry it can reach into destDir; succeeds when at least one file was written.
Outcome ExtractZip(const std::wstring& zipPath, const std::wstring& destDir);
// Creates a folder and its parents; true also when something of that name already stands there.
bool CreateDirectoryTree(const std::wstring& path);
