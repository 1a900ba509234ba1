#include "Prefill_win32.h"

#include <windows.h>

#include <system_error>

#include "Cipher_win32.h"
#include "agentconfig/WholeFile.h"
#include "base/Text.h"

// The key is optional, so every failure (an existence test that errs included) leaves the field empty.
void PrefillDashscopeKey(const std::filesystem::path& profile, std::wstring& field)
{
    // Without a profile folder the path would be relative to whatever the working directory is.
    if (!field.empty() || profile.empty()) return;
    const std::filesystem::path file = DashscopeCredentialPath(profile);
    std::error_code error;
    if (!std::filesystem::exists(file, error)) return;
    std::string stored;
    std::string key;
    if (ReadWholeFile(file, stored) && DecryptCredential(TrimCredentialFileText(stored), key) && !key.empty())
        field = Utf8ToWide(key);
    SecureZeroMemory(key.data(), key.size());
    SecureZeroMemory(stored.data(), stored.size());
}
