#pragma once
#include <functional>
#include <optional>
#include <string>

struct InstallerSettings {
    std::wstring installPath;
    std::wstring apiKey;
    std::wstring model = L"qwen3.5-plus";
    std::wstring port = L"18789";
    int apiProvider = 0;
    std::wstring dashscopeKey;
};

extern InstallerSettings Settings;

inline constexpr wchar_t kSettingsRegistryKey[] = L"Software\\Quillmere";

using StoredValueReader = std::function<std::optional<std::wstring>(const wchar_t* valueName)>;

int ApiProviderFromText(const std::wstring& text);
void ApplyStoredSettings(InstallerSettings& settings, const StoredValueReader& readValue);
void LoadSettingsFromRegistry();
