#include "Npm.h"

#include <filesystem>
#include <system_error>

#include "Process.h"
#include "shell/Messages.h"
#include "shell/Settings.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kProductInstall[] = L"cmd.exe /c npm install --omit=dev --ignore-scripts --legacy-peer-deps 2>&1";
constexpr wchar_t kSkillInstall[] = L"cmd.exe /c npm install --omit=dev 2>&1";

bool HoldsPackageManifest(const fs::directory_entry& entry)
{
    return entry.is_directory() && fs::exists(entry.path() / L"package.json");
}

// One skill folder; true when npm ran and succeeded.
bool InstallOneSkillPackages(const fs::path& folder)
{
    const std::wstring name = folder.filename().wstring();
    PostLog(L"  安装依赖: " + name);
    const CommandResult result = RunCommand({kSkillInstall, folder.wstring(), OutputMode::Drain, false, false});
    if (!result.started) return false;
    const uint32_t code = result.exitCode.value_or(0);
    if (code == 0) return true;
    PostLog(L"    [警告] " + name + L" npm install 失败 (退出码: " + std::to_wstring(code) + L")");
    return false;
}

}  // namespace

// npm's own output goes to the log line by line; a cancellation stops it and the whole run.
bool InstallProductPackages()
{
    PostStatus(L"正在安装运行时依赖 (npm install)...");
    PostLog(L"  执行 npm install --omit=dev --ignore-scripts --legacy-peer-deps");
    const CommandResult result = RunCommand({kProductInstall, Settings.installPath, OutputMode::Lines, false, false});
    if (!result.started) {
        PostLog(L"  [警告] 未找到 npm，请确认 Node.js 已安装");
    } else if (result.exitCode.value_or(0) == 0) {
        PostLog(L"  npm install 完成");
    } else {
        PostLog(L"  [警告] npm install 退出码: " + std::to_wstring(*result.exitCode));
        PostLog(L"  可稍后手动执行: npm install --omit=dev --ignore-scripts --legacy-peer-deps");
    }
    return !CancelRequested.load();
}

// Skills without a package.json need nothing; a cancellation is seen before each folder.
bool InstallSkillPackages()
{
    PostStatus(L"正在安装 Skills 依赖...");
    const fs::path skills = fs::path(Settings.installPath) / L"skills";
    if (fs::exists(skills)) {
        int succeeded = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(skills)) {
            if (!HoldsPackageManifest(entry)) continue;
            if (CancelRequested.load()) break;
            succeeded += InstallOneSkillPackages(entry.path()) ? 1 : 0;
        }
        PostLog(L"  Skills 依赖安装完成 (" + std::to_wstring(succeeded) + L" 个)");
    }
    return !CancelRequested.load();
}
