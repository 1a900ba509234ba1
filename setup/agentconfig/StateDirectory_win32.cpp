#include "StateDirectory.h"

#include <windows.h>
#include <shlobj.h>

#include <stdexcept>

#include "shell/Messages.h"

namespace {

constexpr wchar_t kProfileVariable[] = L"%USERPROFILE%";

}  // namespace

// The environment first; when it names no usable profile (unset, or too long for the buffer)
// the shell's own answer, so that the state directory is never a relative path.
std::filesystem::path UserProfileDirectory()
{
    wchar_t expanded[MAX_PATH] = {};
    const DWORD needed = ExpandEnvironmentStringsW(kProfileVariable, expanded, MAX_PATH);
    if (needed > 0 && needed <= MAX_PATH && std::wstring(expanded) != kProfileVariable && expanded[0] != L'\0')
        return std::filesystem::path(expanded);
    wchar_t profile[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
        return std::filesystem::path(profile);
    throw std::runtime_error("cannot find the user profile folder");
}

// Creation failures are swallowed: later steps then meet missing folders and say so themselves.
StateDirectory PrepareStateDirectory()
{
    const StateDirectory dirs = StateDirectoryUnder(UserProfileDirectory());
    try {
        std::filesystem::create_directories(dirs.agentDir);
        std::filesystem::create_directories(dirs.canvasDir);
        PostLog(L"  目录已创建: " + dirs.stateDir.wstring());
    } catch (...) {
    }
    return dirs;
}
