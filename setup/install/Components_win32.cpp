#include "Components.h"

#include <windows.h>

#include <stdexcept>

#include "Install.h"
#include "agentconfig/WholeFile.h"
#include "archive/Zip.h"
#include "shell/Messages.h"
#include "shell/Settings.h"
#include "shell/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kMachinePathBytes = 16384;
constexpr DWORD kUserPathBytes = 8192;
constexpr wchar_t kMachineEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A stored value may lack its terminator or not fit at all; only what was really read counts.
std::wstring QueryPathValue(HKEY key, DWORD bufferBytes, bool& ok)
{
    std::wstring buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = bufferBytes;
    ok = RegQueryValueExW(key, L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS;
    if (!ok) return {};
    buffer.resize(wcsnlen(buffer.c_str(), size / sizeof(wchar_t)));
    return buffer;
}

// The values are stored with %SystemRoot% and the like; Windows expands them when it builds a
// new process's environment, and so must we, or later child processes find no system programs.
std::wstring ExpandReferences(const std::wstring& text)
{
    if (text.empty()) return text;
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::wstring expanded(needed, L'\0');
    ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
    expanded.resize(wcsnlen(expanded.c_str(), needed));
    return expanded;
}

void RefreshProcessPath()
{
    HKEY machineKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineEnvironmentKey, 0, KEY_READ, &machineKey) != ERROR_SUCCESS) return;
    bool machineOk = false;
    const std::wstring machinePath = QueryPathValue(machineKey, kMachinePathBytes, machineOk);
    if (machineOk) {
        std::wstring userPath;
        HKEY userKey = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_READ, &userKey) == ERROR_SUCCESS) {
            bool userOk = false;
            userPath = QueryPathValue(userKey, kUserPathBytes, userOk);
            RegCloseKey(userKey);
        }
        const std::wstring joined = JoinPathValues(ExpandReferences(machinePath), ExpandReferences(userPath));
        SetEnvironmentVariableW(L"PATH", joined.c_str());
    }
    RegCloseKey(machineKey);
}

void InstallNode(const ManifestPackage& package, const fs::path& localPath)
{
    PostStatus(L"正在安装 Node.js...");
    PostLog(L"  正在安装 Node.js: " + Utf8ToWide(package.file));
    std::wstring commandLine = L"msiexec.exe /i \"" + localPath.wstring() + L"\" /qb /norestart";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (exitCode != 0 && exitCode != 3010) {
        PostLog(L"  [警告] Node.js 安装退出码: " + std::to_wstring(exitCode));
        return;
    }
    PostLog(L"  Node.js 安装成功");
    RefreshProcessPath();
}

void InstallPlaywright(const fs::path& localPath)
{
    PostStatus(L"正在安装浏览器引擎...");
    wchar_t localAppData[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%LOCALAPPDATA%", localAppData, MAX_PATH);
    const std::wstring target = std::wstring(localAppData) + L"\\ms-playwright";
    PostLog(L"  解压 Playwright → " + target);
    PostLog(ExtractZip(localPath.wstring(), target) ? L"  Playwright 安装完成" : L"  [警告] Playwright 解压失败");
}

bool ExtractIntoInstallation(const ManifestPackage& package, const fs::path& localPath)
{
    const std::wstring desc = Utf8ToWide(package.desc);
    const std::wstring file = Utf8ToWide(package.file);
    PostStatus((L"正在安装 " + desc + L"...").c_str());
    PostLog(L"  解压 " + file + L" → " + Settings.installPath);
    if (ExtractZip(localPath.wstring(), Settings.installPath)) {
        PostLog(L"  " + desc + L" 安装完成");
        return true;
    }
    PostLog(L"  [错误] 解压失败: " + file);
    return false;
}

// Directories inside the manifest's file name are dropped: the file lands directly in installPath.
void CopyIntoInstallation(const ManifestPackage& package, const fs::path& localPath)
{
    try {
        CopyFileReplacing(localPath, fs::path(Settings.installPath) / localPath.filename());
        PostLog(L"  " + Utf8ToWide(package.file) + L" → " + Settings.installPath);
    } catch (const std::exception& error) {
        PostLog(L"  [警告] 复制失败: " + Utf8ToWide(error.what()));
    }
}

}  // namespace

// False only when the product's own archive yielded nothing: without it there is no product.
bool InstallDownloadedPackage(const ManifestPackage& package, const fs::path& localPath)
{
    if (package.id == "node") InstallNode(package, localPath);
    else if (package.id == "playwright") InstallPlaywright(localPath);
    else if (package.extract) return ExtractIntoInstallation(package, localPath);
    else CopyIntoInstallation(package, localPath);
    return true;
}
