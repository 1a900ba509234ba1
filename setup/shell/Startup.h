#pragma once
#include <string>

std::wstring ManifestFailureText(const std::wstring& serverUrl);
