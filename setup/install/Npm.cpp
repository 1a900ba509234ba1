#include "Npm.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "FileSteps.h"
#include "InstallPlan.h"
#include "base/SystemError.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kProductArguments[] = L"install --omit=dev --ignore-scripts --legacy-peer-deps";
constexpr wchar_t kSkillArguments[] = L"install --omit=dev";

// npm by its full path: a bare "npm" would be looked for in the folder it runs in first, which is
// the freshly unpacked product or skill. cmd.exe from the system folder, not one beside setup.exe,
// and with /d, so that no AutoRun command runs with it. It drops the outer quotes and keeps the
// inner ones. Nothing when either cannot be found.
std::optional<std::wstring> NpmCommandLine(const InstallRun& run, const wchar_t* arguments)
{
    const std::optional<fs::path> npm = run.platform.findOnPath(L"npm.cmd");
    const std::optional<fs::path> cmd = run.platform.systemProgram(L"cmd.exe");
    if (!npm || !cmd) return std::nullopt;
    return CommandLineOf(*cmd, L"/d /c \"\"" + npm->wstring() + L"\" " + arguments + L" 2>&1\"");
}

// CreateProcessW refuses a working folder this long; the step says so rather than "npm not found".
bool FolderTooLongToRunIn(const InstallRun& run, const std::wstring& folder, const std::wstring& indent)
{
    if (folder.size() <= kLongestWorkingFolder) return false;
    run.events.log(indent + L"[警告] 路径过长 (超过 " + std::to_wstring(kLongestWorkingFolder) +
                   L" 个字符)，无法在其中运行 npm: " + folder);
    return true;
}

// The skill folders that hold a package.json, in the order the folder lists them.
Outcome SkillsWithPackageManifest(const fs::path& skills, std::vector<fs::path>& folders)
{
    std::error_code error;
    for (fs::directory_iterator entry(skills, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code unreadable;
        if (entry->is_directory(unreadable) && Exists(entry->path() / L"package.json")) folders.push_back(entry->path());
    }
    return error ? Failure(ErrorCodeText(error)) : Success();
}

// What npm leaves in a folder of ours: its packages' folder and a lock file, noted when it made them.
struct NpmLeavings {
    std::filesystem::path folder;
    bool hadModules, hadLock;
};

NpmLeavings BeforeNpm(const fs::path& folder)
{
    return {folder, Exists(folder / L"node_modules"), Exists(folder / L"package-lock.json")};
}

void RecordNpmLeavings(const InstallRun& run, const NpmLeavings& before)
{
    const fs::path modules = before.folder / L"node_modules";
    if (!before.hadModules && IsFolder(modules) &&
        std::find(run.record.trees.begin(), run.record.trees.end(), modules) == run.record.trees.end())
        run.record.trees.push_back(modules);
    if (!before.hadLock && Exists(before.folder / L"package-lock.json"))
        RecordFile(run.record, before.folder / L"package-lock.json", false);
}

// One skill folder; true when npm ran and succeeded. Without npm nothing is started.
bool InstallOneSkillPackages(const InstallRun& run, const std::optional<std::wstring>& npm, const fs::path& folder)
{
    const std::wstring name = folder.filename().wstring();
    run.events.log(L"  安装依赖: " + name);
    if (!npm || FolderTooLongToRunIn(run, folder.wstring(), L"    ")) return false;
    const NpmLeavings before = BeforeNpm(folder);
    const CommandResult result = run.platform.runCommand({
        .commandLine = *npm,
        .workingDirectory = folder.wstring(),
        .output = OutputMode::Drain,
        .cancel = &run.job.cancelRequested,
    });
    RecordNpmLeavings(run, before);
    // A folder stopped by the user failed for no reason of its own.
    if (!result.started || CancelRequested(run)) return false;
    const uint32_t code = result.exitCode.value_or(0);
    if (code == 0) return true;
    run.events.log(L"    [警告] " + name + L" npm install 失败 (退出码: " + std::to_wstring(code) + L")");
    return false;
}

RunEnd EndOfNpmPhase(const InstallRun& run)
{
    return CancelRequested(run) ? RunEnd::CancelledWithoutDone : RunEnd::Completed;
}

}  // namespace

// npm's own output goes to the log line by line; a cancellation stops it and the whole run.
RunEnd InstallProductDependencies(InstallRun& run)
{
    run.events.status(L"正在安装运行时依赖 (npm install)...");
    run.events.log(std::wstring(L"  执行 npm ") + kProductArguments);
    if (FolderTooLongToRunIn(run, run.job.choices.installPath, L"  ")) return EndOfNpmPhase(run);
    const std::optional<std::wstring> npm = NpmCommandLine(run, kProductArguments);
    CommandResult result;
    const NpmLeavings before = BeforeNpm(InstallDirectory(run));
    if (npm)
        result = run.platform.runCommand({
            .commandLine = *npm,
            .workingDirectory = run.job.choices.installPath,
            .output = OutputMode::Lines,
            .onLine = [&run](const std::string& line) { run.events.log(L"  " + Utf8ToWide(line)); },
            .cancel = &run.job.cancelRequested,
        });
    RecordNpmLeavings(run, before);
    if (!result.started) {
        run.events.log(L"  [警告] 未找到 npm，请确认 Node.js 已安装");
    } else if (result.exitCode.value_or(0) == 0) {
        run.events.log(L"  npm install 完成");
    } else {
        run.events.log(L"  [警告] npm install 退出码: " + std::to_wstring(*result.exitCode));
        run.events.log(std::wstring(L"  可稍后手动执行: npm ") + kProductArguments);
    }
    return EndOfNpmPhase(run);
}

// Skills without a package.json need nothing; a cancellation is seen before each folder.
RunEnd InstallSkillDependencies(InstallRun& run)
{
    run.events.status(L"正在安装 Skills 依赖...");
    const fs::path skills = InstallDirectory(run) / L"skills";
    if (!Exists(skills)) return EndOfNpmPhase(run);
    std::vector<fs::path> folders;
    if (const Outcome listed = SkillsWithPackageManifest(skills, folders); !listed) {
        run.events.log(L"  [警告] 无法读取 Skills 目录，未安装其依赖: " + listed.error);
        return EndOfNpmPhase(run);
    }
    const std::optional<std::wstring> npm = NpmCommandLine(run, kSkillArguments);
    int succeeded = 0;
    for (const fs::path& folder : folders) {
        if (CancelRequested(run)) break;
        succeeded += InstallOneSkillPackages(run, npm, folder) ? 1 : 0;
    }
    run.events.log(L"  Skills 依赖安装完成 (" + std::to_wstring(succeeded) + L" 个)");
    return EndOfNpmPhase(run);
}
