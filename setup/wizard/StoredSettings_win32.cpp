#include "StoredSettings.h"

#include <windows.h>

namespace {

// 1024 UTF-16 units including the terminator; a longer value fails and counts as missing.
constexpr DWORD kValueBufferBytes = 2048;

std::optional<std::wstring> ReadStoredString(const wchar_t* valueName)
{
    wchar_t buffer[kValueBufferBytes / sizeof(wchar_t)] = {};
    DWORD size = kValueBufferBytes;
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, valueName,
                                        RRF_RT_REG_SZ, nullptr, buffer, &size);
    // A failed read may still have scribbled into the buffer (a DWORD, say), so it is never used.
    if (status != ERROR_SUCCESS) return std::nullopt;
    buffer[kValueBufferBytes / sizeof(wchar_t) - 1] = L'\0';
    return std::wstring(buffer);
}

}  // namespace

InstallerSettings LoadSettingsFromRegistry()
{
    InstallerSettings settings;
    ApplyStoredSettings(settings, ReadStoredString);
    return settings;
}
