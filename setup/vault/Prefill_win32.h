#pragma once
#include <filesystem>
#include <string>

// Windows only: fills an empty field with the multimodal key stored under the profile, if one can be read.
void PrefillDashscopeKey(const std::filesystem::path& profile, std::wstring& field);
