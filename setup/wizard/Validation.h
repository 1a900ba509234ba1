#pragma once
#include <string>

// The checks the configuration page's fields must pass before the installation starts.

// Decimal 1 to 65535 without leading zeros.
bool IsValidPort(const std::wstring& port);
// An absolute local folder (drive letter, colon, backslash) of at most 100 characters whose
// components are plain names: none empty, none ending in a dot or a space.
bool IsValidInstallPath(const std::wstring& path);
