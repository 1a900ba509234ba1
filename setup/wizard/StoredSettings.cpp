#include "StoredSettings.h"

// Only the exact text "1" selects the coding endpoint; anything else, "01" and "1 " included, is 0.
int detail::ApiProviderFromText(const std::wstring& text)
{
    return text == L"1" ? 1 : 0;
}

// Every field falls back to its own default on its own, so one bad value never costs the others.
void ApplyStoredSettings(InstallerSettings& settings, const StoredValueReader& readValue)
{
    const InstallerSettings defaults;
    auto read = [&](const wchar_t* name, const std::wstring& fallback) {
        return readValue(name).value_or(fallback);
    };
    settings.installPath = read(L"InstallPath", L"C:\\Quillmere");
    settings.apiKey = read(L"ApiKey", L"");
    settings.model = read(L"Model", defaults.model);
    settings.port = read(L"Port", defaults.port);
    settings.apiProvider = detail::ApiProviderFromText(read(L"ApiProvider", L"0"));
    settings.dashscopeKey = read(L"DashscopeKey", L"");
}
