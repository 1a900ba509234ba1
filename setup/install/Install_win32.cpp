#include "Install.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "Components.h"
#include "Finish.h"
#include "Npm.h"
#include "Process.h"
#include "agentconfig/ConfigPhase.h"
#include "archive/Zip.h"
#include "net/Http.h"
#include "net/Progress.h"
#include "shell/Messages.h"
#include "shell/Settings.h"
#include "shell/Text.h"

namespace fs = std::filesystem;

namespace {

// How one run ended: decides the last status and whether the done message follows.
enum class RunEnd { Completed, Failed, DownloadFailed, Cancelled, CancelledWithoutDone };

struct InstallRun {
    fs::path downloadDir;
    int totalSteps = 4;
    int stepsDone = 0;
};

void CompleteStep(InstallRun& run)
{
    ++run.stepsDone;
    PostProgress(StepPercent(run.stepsDone, run.totalSteps));
}

fs::path TempFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    return fs::path(buffer);
}

bool NodeIsInstalled(const ManifestPackage& package)
{
    CommandResult probe = RunCommand({L"cmd.exe /c node --version 2>&1", L"", OutputMode::Collect, false, true});
    if (!probe.started || NodeMajorVersion(probe.output) < 22) return false;
    PostLog(L"  Node.js 已安装: " + FirstOutputLine(probe.output) + L"，跳过下载 (" + FormatSize(package.size) + L")");
    return true;
}

// An empty folder (or empty file) is what an interrupted browser download leaves behind.
bool PlaywrightIsInstalled(const ManifestPackage& package)
{
    wchar_t localAppData[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%LOCALAPPDATA%", localAppData, MAX_PATH);
    const fs::path browsers = fs::path(localAppData) / L"ms-playwright";
    if (!fs::exists(browsers) || fs::is_empty(browsers)) return false;
    PostLog(L"  Playwright 浏览器引擎已存在，跳过下载 (" + FormatSize(package.size) + L")");
    return true;
}

void DetectInstalledComponents()
{
    for (ManifestPackage& package : Manifest.packages) {
        package.alreadyPresent = false;
        if (package.id == "node") package.alreadyPresent = NodeIsInstalled(package);
        else if (package.id == "playwright") package.alreadyPresent = PlaywrightIsInstalled(package);
    }
}

void PlanSteps(InstallRun& run)
{
    int64_t saved = 0;
    for (const ManifestPackage& package : Manifest.packages)
        if (package.alreadyPresent) saved += package.size;
    if (saved > 0) PostLog(L"本地已有组件可节省下载: " + FormatSize(saved));
    run.totalSteps = CountTotalSteps(Manifest);
}

// Each attempt gets a fresh progress callback and start tick, so a retry restarts the speed average.
bool DownloadWithRetries(const std::wstring& url, const fs::path& local, const RetryPolicy& policy,
                         DownloadProgressFn (*makeProgress)(const uint32_t&), std::wstring& error)
{
    for (int attempt = 1;; ++attempt) {
        error.clear();
        const uint32_t attemptStartTick = GetTickCount();
        if (DownloadToFile(url, local.wstring(), makeProgress(attemptStartTick), &error)) return true;
        if (CancelRequested.load() || attempt >= policy.attempts) return false;
        PostLog(RetryLine(policy, error, attempt));
        Sleep(policy.pauseMs);
    }
}

fs::path LocalDownloadPath(const InstallRun& run, const std::string& file)
{
    return fs::path(run.downloadDir.wstring() + Utf8ToWide(file));
}

RunEnd DownloadPackages(InstallRun& run)
{
    for (ManifestPackage& package : Manifest.packages) {
        if (CancelRequested.load()) return RunEnd::Cancelled;
        const std::wstring desc = Utf8ToWide(package.desc);
        if (package.alreadyPresent) {
            PostLog(L"跳过: " + desc + L" (本地已存在)");
            continue;
        }
        const std::wstring file = Utf8ToWide(package.file);
        // A name that would land outside the download folder is never fetched.
        if (!IsContainedRelativePath(package.file)) {
            PostLog(WithErrorText(L"  [错误] 下载失败: " + file, L"文件名无效"));
            return RunEnd::DownloadFailed;
        }
        const fs::path local = LocalDownloadPath(run, package.file);
        fs::create_directories(local.parent_path());
        PostStatus((L"正在下载 " + desc + L"...").c_str());
        PostLog(L"下载: " + file + L" (" + FormatSize(package.size) + L")");
        std::wstring error;
        if (!DownloadWithRetries(Manifest.baseUrl + file, local, kPackageRetry, PackageDownloadProgress, error)) {
            PostLog(WithErrorText(L"  [错误] 下载失败: " + file, error));
            return CancelRequested.load() ? RunEnd::Cancelled : RunEnd::DownloadFailed;
        }
        PostDetail(L"");
        // A product archive that yields nothing ends the run; its download stays for inspection.
        if (!InstallDownloadedPackage(package, local)) return RunEnd::Failed;
        std::error_code ignored;
        fs::remove(local, ignored);
        CompleteStep(run);
    }
    return RunEnd::Completed;
}

int CountSkillsToInstall()
{
    int count = 0;
    for (const ManifestSkill& skill : Manifest.skills) count += IsSkillToInstall(skill) ? 1 : 0;
    return count;
}

// A skill's id and file become paths under our own folders; a name that would climb out is refused.
bool SkillNamesAreContained(const ManifestSkill& skill)
{
    return IsContainedRelativePath(skill.id) && IsContainedRelativePath(skill.file);
}

void InstallOneSkill(const InstallRun& run, const ManifestSkill& skill)
{
    const std::wstring name = SkillDisplayName(skill);
    if (!SkillNamesAreContained(skill)) {
        PostLog(L"  [警告] 下载失败: " + name + L" - 文件名无效");
        return;
    }
    const fs::path local = LocalDownloadPath(run, skill.file);
    fs::create_directories(local.parent_path());
    PostLog(L"下载 Skill: " + name + L" (" + FormatSize(skill.size) + L")");
    std::wstring error;
    if (!DownloadWithRetries(Manifest.baseUrl + Utf8ToWide(skill.file), local, kSkillRetry, SkillDownloadProgress,
                             error)) {
        PostLog(WithErrorText(L"  [警告] 下载失败: " + name, error));
        return;
    }
    PostDetail(L"");
    const std::wstring skillFolder = Settings.installPath + L"\\skills\\" + Utf8ToWide(skill.id);
    PostLog(ExtractZip(local.wstring(), skillFolder) ? L"  " + name + L" 安装完成" : L"  [警告] 解压失败: " + name);
    std::error_code ignored;
    fs::remove(local, ignored);
}

RunEnd InstallSkills(InstallRun& run)
{
    PostStatus(L"正在安装 Skills...");
    const int skillCount = CountSkillsToInstall();
    int index = 0;
    for (const ManifestSkill& skill : Manifest.skills) {
        if (CancelRequested.load()) return RunEnd::Cancelled;
        if (!IsSkillToInstall(skill)) continue;
        ++index;
        PostStatus((L"正在安装 " + SkillDisplayName(skill) + L" (" + std::to_wstring(index) + L"/" +
                    std::to_wstring(skillCount) + L")...").c_str());
        InstallOneSkill(run, skill);
        CompleteStep(run);
    }
    PostLog(L"Skills 安装完成 (" + std::to_wstring(index) + L" 个技能)");
    return RunEnd::Completed;
}

RunEnd WriteConfiguration(InstallRun&)
{
    RunConfigurationPhase();
    return RunEnd::Completed;
}

RunEnd InstallProductDependencies(InstallRun& run)
{
    CompleteStep(run);  // closes the configuration phase
    if (!InstallProductPackages()) return RunEnd::CancelledWithoutDone;
    CompleteStep(run);
    return RunEnd::Completed;
}

RunEnd InstallSkillDependencies(InstallRun& run)
{
    if (!InstallSkillPackages()) return RunEnd::CancelledWithoutDone;
    PostProgress(StepPercent(run.stepsDone + 1, run.totalSteps));
    return RunEnd::Completed;
}

bool CreateInstallDirectory()
{
    PostStatus(L"创建安装目录...");
    PostLog(L"安装目录: " + Settings.installPath);
    std::error_code error;
    fs::create_directories(fs::path(Settings.installPath), error);
    if (!error) return true;
    PostLog(L"[错误] 无法创建安装目录！");
    return false;
}

RunEnd RunPhases()
{
    InstallRun run;
    DetectInstalledComponents();
    PlanSteps(run);
    run.downloadDir = TempFolder() / L"Quillmere_Setup";
    fs::create_directories(run.downloadDir);
    run.downloadDir += L"\\";
    if (!CreateInstallDirectory()) return RunEnd::Failed;

    using Phase = RunEnd (*)(InstallRun&);
    for (Phase phase : {DownloadPackages, InstallSkills, WriteConfiguration, InstallProductDependencies,
                        InstallSkillDependencies}) {
        const RunEnd end = phase(run);
        if (end != RunEnd::Completed) return end;
    }
    SaveChoicesAndShortcut();
    FinishWithBanner();
    return RunEnd::Completed;
}

void EndRun(RunEnd end)
{
    switch (end) {
    case RunEnd::Completed: PostStatus(L"安装完成！"); break;
    case RunEnd::Failed: PostStatus(L"安装失败"); break;
    case RunEnd::DownloadFailed: PostStatus(L"下载失败"); break;
    case RunEnd::Cancelled:
    case RunEnd::CancelledWithoutDone: PostStatus(L"已取消"); break;
    }
    InstallRunning.exchange(false);
    if (end != RunEnd::CancelledWithoutDone) PostInstallDone(end == RunEnd::Completed);
}

}  // namespace

// The cancel flag is cleared by whoever starts the worker, before it starts (see the wizard).
void DoInstall()
{
    InstallRunning.exchange(true);
    PostStatus(L"检测本地环境...");
    PostLog(L"正在检测本地环境...");
    RunEnd end = RunEnd::Failed;
    try {
        end = RunPhases();
    } catch (const std::exception& error) {
        PostLog(L"[错误] 安装异常: " + Utf8ToWide(error.what()));
    } catch (...) {
        PostLog(L"[错误] 安装过程中发生未知错误");
    }
    EndRun(end);
}
