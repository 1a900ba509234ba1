#pragma once
#include <string>

// Paths of this many characters or more are given to Windows in their extended-length form;
// CreateDirectoryW's own limit is MAX_PATH less room for an 8.3 file name.
inline constexpr size_t kLongPathFrom = 248;

// An absolute path of kLongPathFrom characters or more as "\\?\C:\..." or "\\?\UNC\server\share\...",
// with backslashes and without "." or ".." parts; any other path as it is.
std::wstring ExtendedLengthPath(const std::wstring& path);
