#include "Install.h"

#include <exception>
#include <filesystem>

#include "ConfigPhase.h"
#include "FileSteps.h"
#include "Finish.h"
#include "InstallPlan.h"
#include "InstallRun.h"
#include "Npm.h"
#include "Packages.h"
#include "Removal.h"
#include "Skills.h"
#include "base/SystemError.h"
#include "agentconfig/WholeFile.h"
#include "base/Text.h"
#include "net/Progress.h"

namespace fs = std::filesystem;

namespace {

int NoSteps(const ReleaseManifest&) { return 0; }
int OneStep(const ReleaseManifest&) { return 1; }

int PackagesToDownload(const ReleaseManifest& manifest)
{
    int count = 0;
    for (const ManifestPackage& package : manifest.packages) count += package.alreadyPresent ? 0 : 1;
    return count;
}

bool CreateInstallDirectory(const InstallRun& run)
{
    run.events.status(L"创建安装目录...");
    run.events.log(L"安装目录: " + run.job.choices.installPath);
    if (CreateFoldersRecorded(run, InstallDirectory(run))) return true;
    run.events.log(L"[错误] 无法创建安装目录！");
    return false;
}

RunEnd PrepareFolders(InstallRun& run)
{
    if (const FileResult made = CreateFoldersRetried(run, run.downloadDir); !made) {
        LogRunFailure(run, made.reason + L": " + run.downloadDir.wstring());
        return RunEnd::Failed;
    }
    RemoveUninstallerCopies(UninstallerCopiesFolder(run.job.folders.temp), run.platform);
    return CreateInstallDirectory(run) ? RunEnd::Completed : RunEnd::Failed;
}

// An earlier installation still running is found before anything is downloaded for it.
RunEnd CheckNothingRunsFromInstallation(InstallRun& run)
{
    return WaitUntilNothingRunsFrom(run, InstallDirectory(run)) ? RunEnd::Completed : RunEnd::Cancelled;
}

// The phases in the order they run, with their share of the bar. A phase of one step is
// counted here when it completes; the two per-item phases count each package or skill themselves.
struct Phase {
    RunEnd (*run)(InstallRun&);
    int (*steps)(const ReleaseManifest&);
    bool countsItsOwnSteps;
};

constexpr Phase kPhases[] = {
    {PrepareFolders, NoSteps, false},
    {CheckNothingRunsFromInstallation, NoSteps, false},
    {DownloadPackages, PackagesToDownload, true},
    {InstallSkills, CountSkillsToInstall, true},
    {WriteConfiguration, OneStep, false},
    {InstallProductDependencies, OneStep, false},
    {InstallSkillDependencies, OneStep, false},
    {SaveChoicesAndShortcut, OneStep, false},
    {FinishWithBanner, NoSteps, false},
};

void PlanSteps(InstallRun& run)
{
    int64_t saved = 0;
    for (const ManifestPackage& package : run.job.manifest.packages)
        if (package.alreadyPresent) saved += KnownDeclaredSize(package.size);
    if (saved > 0) run.events.log(L"本地已有组件可节省下载: " + FormatSize(saved));
    run.totalSteps = detail::CountTotalSteps(run.job.manifest);
}

// An installation of ours is already in the folder when its record is, or its launcher from before
// records were kept; a failed run then keeps it all.
void FindEarlierInstallation(InstallRun& run)
{
    run.record.installDir = InstallDirectory(run);
    std::string text;
    if (ReadWholeFile(InstallDirectory(run) / kInstallRecordName, text)) run.earlier = ParseInstallRecord(text);
    run.foundEarlierInstallation = run.earlier.has_value() || Exists(InstallDirectory(run) / L"launcher.exe");
}

// Written as the run goes, so that even a run that never reaches its end leaves its record behind.
void KeepRecordUpToDate(const InstallRun& run)
{
    if (IsFolder(InstallDirectory(run))) static_cast<void>(SaveInstallRecord(run));
}

RunEnd RunPhases(InstallRun& run)
{
    FindEarlierInstallation(run);
    DetectInstalledComponents(run);
    PlanSteps(run);
    for (const Phase& phase : kPhases) {
        FlushLog(run.log);
        const RunEnd end = phase.run(run);
        if (end == RunEnd::Completed && phase.run != FinishWithBanner) KeepRecordUpToDate(run);
        if (end != RunEnd::Completed) return end;
        if (!phase.countsItsOwnSteps)
            for (int step = phase.steps(run.job.manifest); step > 0; --step) CompleteStep(run);
    }
    return RunEnd::Completed;
}

const wchar_t* FinalStatus(RunEnd end)
{
    switch (end) {
    case RunEnd::Completed: return L"安装完成！";
    case RunEnd::Failed: return L"安装失败";
    case RunEnd::DownloadFailed: return L"下载失败";
    case RunEnd::Cancelled:
    case RunEnd::CancelledWithoutDone: break;
    }
    return L"已取消";
}

// The library words a file-system error in the ANSI code page; the log takes the system's own text
// of its code, with the path it concerned.
std::wstring ExceptionText(const std::exception& error)
{
    if (const auto* fileError = dynamic_cast<const fs::filesystem_error*>(&error)) {
        std::wstring text = ErrorCodeText(fileError->code());
        if (!fileError->path1().empty()) text += L": " + fileError->path1().wstring();
        return text;
    }
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&error)) return ErrorCodeText(systemError->code());
    return Utf8ToWide(error.what());
}

void LogRemovalProblems(const InstallRun& run, const RemovalReport& report)
{
    for (const RemovalItem& item : report.failed) run.events.log(L"  [警告] 未能删除: " + item.what + L" - " + item.why);
    for (const RemovalItem& item : report.kept) run.events.log(L"  [警告] 未删除: " + item.what + L" - " + item.why);
}

// Runtimes serve other programs too, so an undo never takes them away; the log says they stay.
void LogRuntimesLeft(const InstallRun& run, const InstallRecord& record)
{
    if (record.nodeInstalled) run.events.log(L"  Node.js 已保留（其他程序也可能使用）");
    if (!record.playwright.empty()) run.events.log(L"  Playwright 浏览器引擎已保留: " + record.playwright.wstring());
}

// A first installation that did not finish leaves nothing behind; a reinstallation that failed keeps
// the earlier one and adds what this run put there to its record.
void UndoOrKeepRecord(InstallRun& run)
{
    try {
        if (run.foundEarlierInstallation) {
            KeepRecordUpToDate(run);
            return;
        }
        // Not stopped by the cancel flag: the user's cancel is what asked for the undo.
        const RemovalReport report =
            RemoveRecorded(run.record, run.platform, {run.platform.sleep, nullptr}, {RemovalPurpose::UndoThisRun});
        if (report.failed.empty() && report.kept.empty()) run.events.log(L"  已撤销本次安装的更改");
        else LogRemovalProblems(run, report);
        LogRuntimesLeft(run, run.record);
    } catch (const std::exception& error) {
        run.events.log(L"  [警告] 撤销本次安装的更改时出错: " + ExceptionText(error));
    }
}

// The file's last line names the outcome; after a failure or a cancellation the window's last line
// says where the file is, for whoever helps the user.
void EndRun(InstallRun& run, RunEnd end)
{
    if (end != RunEnd::Completed) UndoOrKeepRecord(run);
    run.events.status(FinalStatus(end));
    AppendToLog(run.log, run.platform.localTime(), std::wstring(L"[结束] ") + FinalStatus(end));
    FlushLog(run.log);
    if (end != RunEnd::Completed && run.log.written) run.events.log(L"  日志文件: " + run.log.path.wstring());
    const InstallEnd shown = end == RunEnd::Completed              ? InstallEnd::Succeeded
                             : end == RunEnd::CancelledWithoutDone ? InstallEnd::CancelledQuietly
                                                                   : InstallEnd::Failed;
    run.job.finalStatus.store(FinalStatus(end));
    run.job.end.store(shown);
    run.events.done(shown);
}

constexpr uint32_t kLogFlushIntervalMs = 2000;

// Besides the flush at each phase's end, the file catches up every two seconds, so that a run that
// ends without its last flush (a crash, the process ended) leaves its story up to that moment.
void KeepInLogFile(InstallRun& run, const std::wstring& line)
{
    AppendToLog(run.log, run.platform.localTime(), line);
    const uint32_t now = run.platform.tickCount();
    if (now - run.logFlushedAt < kLogFlushIntervalMs) return;
    FlushLog(run.log);
    run.logFlushedAt = now;
}


}  // namespace

int detail::CountTotalSteps(const ReleaseManifest& manifest)
{
    int steps = 0;
    for (const Phase& phase : kPhases) steps += phase.steps(manifest);
    return steps;
}

// Whatever escapes a phase ends the run as a failure with its message in the log. Warnings are
// kept as they pass, so that the end of a run can sum them up, and every line and status also goes
// to the log file.
void DoInstall(InstallJob& job, const InstallPlatform& platform, const InstallEvents& events)
{
    InstallEvents reporting = events;
    InstallRecord record;
    InstallRun run{job, platform, reporting, record};
    run.downloadDir = job.folders.temp / L"Quillmere_Setup";
    if (!Exists(run.downloadDir)) record.downloads = run.downloadDir;
    run.log.path = run.downloadDir / LogFileName(platform.localTime());
    run.log.secrets = {job.choices.apiKey, job.choices.dashscopeKey};
    reporting.log = [&run, &events](const std::wstring& line) {
        if (line.find(L"[警告]") != std::wstring::npos) run.warnings.push_back(line);
        KeepInLogFile(run, line);
        events.log(line);
    };
    reporting.status = [&run, &events](const std::wstring& text) {
        KeepInLogFile(run, L"[状态] " + text);
        events.status(text);
    };
    run.logFlushedAt = platform.tickCount();
    reporting.status(L"检测本地环境...");
    reporting.log(L"正在检测本地环境...");
    if (!job.manifest.refusedBaseUrl.empty())
        reporting.log(L"  [警告] 清单中的 baseUrl 不是 https，已忽略: " + job.manifest.refusedBaseUrl);
    RunEnd end = RunEnd::Failed;
    try {
        end = RunPhases(run);
    } catch (const std::exception& error) {
        LogRunFailure(run, ExceptionText(error));
    } catch (...) {
        reporting.log(L"[错误] 安装过程中发生未知错误");
    }
    EndRun(run, end);
}
