#pragma once
#include <cstdint>
#include <string>

// The error box's text when no valid manifest could be fetched from serverUrl.
std::wstring ManifestFailureText(const std::wstring& serverUrl);
// Whether Windows of this major version runs the installer and the Node.js it installs: 10 or later.
bool IsSupportedWindowsVersion(uint32_t majorVersion);
// The error box's text on an older Windows, naming the version found.
std::wstring UnsupportedWindowsText(uint32_t majorVersion, uint32_t minorVersion);
