#include "StoredSettings.h"

#include <windows.h>

#include <cwchar>

namespace {

// Measured first, so that a value of any length (an API key of thousands of characters) comes back
// whole; a value that grows between the two calls is measured again.
std::optional<std::wstring> ReadStoredString(const wchar_t* valueName)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, valueName, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, valueName, RRF_RT_REG_SZ, nullptr,
                                            buffer.data(), &size);
        if (status == ERROR_MORE_DATA) continue;
        // A failed read may still have scribbled into the buffer (a DWORD, say), so it is never used.
        if (status != ERROR_SUCCESS) return std::nullopt;
        buffer.resize(wcsnlen(buffer.c_str(), size / sizeof(wchar_t)));
        return buffer;
    }
    return std::nullopt;
}

}  // namespace

InstallerSettings LoadSettingsFromRegistry()
{
    InstallerSettings settings;
    ApplyStoredSettings(settings, ReadStoredString);
    return settings;
}
