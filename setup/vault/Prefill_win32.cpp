#include "Vault.h"

#include <windows.h>
#include <shlobj.h>

#include <system_error>

#include "agentconfig/WholeFile.h"
#include "shell/Settings.h"
#include "shell/Text.h"

// The key is optional, so every failure (an existence test that errs included) leaves the field empty.
void PrefillDashscopeKey()
{
    if (!Settings.dashscopeKey.empty()) return;
    wchar_t profile[MAX_PATH] = {};
    // Without a profile folder the path would be relative to whatever the working directory is.
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)) || !profile[0]) return;
    const std::filesystem::path file = DashscopeCredentialPath(profile);
    std::error_code error;
    if (!std::filesystem::exists(file, error)) return;
    std::string key = DecryptCredential(TrimCredentialFileText(ReadWholeFile(file)));
    if (!key.empty()) Settings.dashscopeKey = Utf8ToWide(key);
    SecureZeroMemory(key.data(), key.size());
}
