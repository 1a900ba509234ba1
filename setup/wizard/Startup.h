#pragma once
#include <string>

// The error box's text when no valid manifest could be fetched from serverUrl.
std::wstring ManifestFailureText(const std::wstring& serverUrl);
