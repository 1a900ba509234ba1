#pragma once
#include <string>

void WriteRegistryString(const wchar_t* subkey, const wchar_t* valueName, const std::wstring& text);
void SaveChoicesAndShortcut();
void FinishWithBanner();
std::wstring SkillRepositoryUrl();
