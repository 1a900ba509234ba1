#pragma once
#include <string>

bool ExtractZip(const std::wstring& zipPath, const std::wstring& destDir);
bool CreateDirectoryTree(const std::wstring& path);
