#include "Finish.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "BuildConfig.h"
#include "shell/Messages.h"
#include "shell/Settings.h"

namespace {

constexpr wchar_t kBanner[] = L"════════════════════════════════════════";

void WriteChoices()
{
    WriteRegistryString(kSettingsRegistryKey, L"InstallPath", Settings.installPath);
    WriteRegistryString(kSettingsRegistryKey, L"ApiKey", Settings.apiKey);
    WriteRegistryString(kSettingsRegistryKey, L"Model", Settings.model);
    WriteRegistryString(kSettingsRegistryKey, L"Port", Settings.port);
    WriteRegistryString(kSettingsRegistryKey, L"ApiProvider", Settings.apiProvider != 0 ? L"1" : L"0");
    // An empty key keeps the one stored earlier rather than erasing it.
    if (!Settings.dashscopeKey.empty()) WriteRegistryString(kSettingsRegistryKey, L"DashscopeKey", Settings.dashscopeKey);
}

void SaveShortcut(IShellLinkW* link, const std::wstring& linkPath)
{
    const std::wstring target = Settings.installPath + L"\\launcher.exe";
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(Settings.installPath.c_str());
    link->SetDescription(L"启动 Quillmere Gateway");
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) return;
    file->Save(linkPath.c_str(), TRUE);
    file->Release();
    PostLog(L"  桌面快捷方式已创建");
}

void CreateDesktopShortcut()
{
    wchar_t desktop[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop))) return;
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        SaveShortcut(link, std::wstring(desktop) + L"\\Quillmere Gateway.lnk");
        link->Release();
    }
    CoUninitialize();
}

}  // namespace

// Failures pass silently: a value that cannot be saved only costs the next run its default.
void WriteRegistryString(const wchar_t* subkey, const wchar_t* valueName, const std::wstring& text)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring SkillRepositoryUrl()
{
    return std::wstring(kVendorSite) + L"/new/quillmere";
}

void SaveChoicesAndShortcut()
{
    PostStatus(L"正在保存注册表...");
    WriteChoices();
    PostLog(L"  注册表配置已保存");
    CreateDesktopShortcut();
    PostProgress(100);
}

void FinishWithBanner()
{
    WriteRegistryString(kSettingsRegistryKey, L"SkillRepoUrl", SkillRepositoryUrl());
    PostLog(L"  技能市场仓库已配置");
    PostLog(L"");
    PostLog(kBanner);
    PostLog(L"  安装完成!");
    PostLog(L"  安装目录: " + Settings.installPath);
    PostLog(kBanner);
}
