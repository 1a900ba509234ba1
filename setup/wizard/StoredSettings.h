#pragma once
#include <functional>
#include <optional>
#include <string>

#include "install/InstallJob.h"

// Reads one stored value by name; nothing when it is missing or unreadable.
using StoredValueReader = std::function<std::optional<std::wstring>(const wchar_t* valueName)>;

// Fills every field from its stored value, or from its default when that cannot be read.
void ApplyStoredSettings(InstallerSettings& settings, const StoredValueReader& readValue);
// Windows only: the previous run's choices from the registry.
InstallerSettings LoadSettingsFromRegistry();

// For the tests only: the rule for the stored provider.
namespace detail {
// The provider from its stored text: only "1" selects the coding endpoint.
int ApiProviderFromText(const std::wstring& text);
}  // namespace detail
