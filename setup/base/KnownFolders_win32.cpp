#include "KnownFolders.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace fs = std::filesystem;

namespace {

fs::path ShellFolder(int csidl)
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0]) return {};
    return fs::path(folder);
}

// The environment first, as the user's session may point it elsewhere; when it names no usable
// folder (unset, empty or too long) the shell's own answer, so that no path is ever relative.
fs::path EnvironmentOrShellFolder(const wchar_t* reference, int csidl)
{
    wchar_t expanded[MAX_PATH] = {};
    const DWORD needed = ExpandEnvironmentStringsW(reference, expanded, MAX_PATH);
    if (needed > 0 && needed <= MAX_PATH && std::wstring(expanded) != reference && expanded[0] != L'\0')
        return fs::path(expanded);
    return ShellFolder(csidl);
}

fs::path TempFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, buffer) == 0) return {};
    return fs::path(buffer);
}

}  // namespace

KnownFolders FindKnownFolders()
{
    return {TempFolder(), EnvironmentOrShellFolder(L"%LOCALAPPDATA%", CSIDL_LOCAL_APPDATA),
            EnvironmentOrShellFolder(L"%USERPROFILE%", CSIDL_PROFILE), ShellFolder(CSIDL_DESKTOPDIRECTORY)};
}
