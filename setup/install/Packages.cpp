#include "Packages.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "FileSteps.h"
#include "InstallPlan.h"
#include "Transfer.h"
#include "archive/Zip.h"
#include "base/Files.h"
#include "base/Text.h"
#include "net/Progress.h"

namespace fs = std::filesystem;

namespace {

// Replaces whatever stands at target (an empty folder left by an interrupted run) with the staged
// folder. A scanner still reading a new file inside refuses the rename for a moment.
FileResult MoveIntoPlace(const InstallRun& run, const fs::path& staging, const fs::path& target)
{
    if (FileResult removed = RemoveTreeRetried(run, target); !removed) return removed;
    return MoveRetried(run, staging, target);
}

// Whether the component is already on the machine, logging what was found.
using DetectFn = bool (*)(const InstallRun&, const ManifestPackage&);
// Puts a downloaded package in place; Failed only when the installation cannot go on without it.
using InstallFn = RunEnd (*)(const InstallRun&, const ManifestPackage&, const fs::path& localPath);

// A package whose id names a component of its own, detected and installed its own way.
struct PackageKind {
    std::string_view id;
    DetectFn detect;
    InstallFn install;
};

// A cold disk can take seconds to start node; the probe's time includes that.
constexpr uint32_t kNodeProbeLimitMs = 10000;

// node.exe itself, from an absolute folder of PATH: cmd.exe would look for node in setup.exe's folder
// and the current one first, and add its AutoRun's output to the version. It runs in our own download
// folder rather than the one setup.exe was started from.
bool NodeIsInstalled(const InstallRun& run, const ManifestPackage& package)
{
    const std::optional<fs::path> node = run.platform.findOnPath(L"node.exe");
    if (!node) return false;
    std::error_code ignored;
    fs::create_directories(run.downloadDir, ignored);
    const CommandResult result = run.platform.runCommand({.commandLine = CommandLineOf(*node, L"--version"),
                                                          .workingDirectory = run.downloadDir.wstring(),
                                                          .output = OutputMode::Collect,
                                                          .waitLimitMs = kNodeProbeLimitMs});
    // A probe that ran out of time counts as no node, whatever it printed before it hung.
    if (!result.started || !result.exitCode || NodeMajorVersion(result.output) < 22) return false;
    run.events.log(L"  Node.js 已安装: " + FirstOutputLine(result.output) + L"，跳过下载 (" +
                   DeclaredSizeText(package.size) + L")");
    return true;
}

fs::path BrowsersFolder(const InstallRun& run)
{
    return run.job.folders.localAppData / L"ms-playwright";
}

// An empty folder (or empty file) is what an interrupted browser download leaves behind.
bool PlaywrightIsInstalled(const InstallRun& run, const ManifestPackage& package)
{
    // A folder that cannot be looked into counts as missing: the installation then says why it fails.
    std::error_code error;
    if (fs::is_empty(BrowsersFolder(run), error) || error) return false;
    run.events.log(L"  Playwright 浏览器引擎已存在，跳过下载 (" + DeclaredSizeText(package.size) + L")");
    return true;
}

// A package that is not installed otherwise installs nothing; the run goes on either way.
RunEnd InstallNode(const InstallRun& run, const ManifestPackage& package, const fs::path& localPath)
{
    run.events.status(L"正在安装 Node.js...");
    run.events.log(L"  正在安装 Node.js: " + Utf8ToWide(package.file));
    const std::optional<uint32_t> exitCode = run.platform.runMsi(localPath);
    if (!exitCode) return RunEnd::Completed;
    if (*exitCode == kMsiUserDeclined) {
        run.events.log(L"  [警告] Node.js 安装已取消: 未获得管理员权限 (退出码 1602)");
        return RunEnd::Completed;
    }
    if (*exitCode != 0 && *exitCode != kMsiRebootRequired) {
        run.events.log(L"  [警告] Node.js 安装退出码: " + std::to_wstring(*exitCode));
        return RunEnd::Completed;
    }
    run.events.log(L"  Node.js 安装成功");
    run.record.nodeInstalled = true;
    // Without the new PATH, npm from the fresh Node.js is not found by this run.
    if (const Outcome refreshed = run.platform.refreshPath(); !refreshed)
        run.events.log(L"  [警告] 无法刷新 PATH: " + refreshed.error);
    return RunEnd::Completed;
}

// Unpacked beside the real folder and moved into place only when complete: a half-unpacked
// ms-playwright would count as installed on every later run.
RunEnd InstallPlaywright(const InstallRun& run, const ManifestPackage&, const fs::path& localPath)
{
    run.events.status(L"正在安装浏览器引擎...");
    const fs::path target = BrowsersFolder(run);
    fs::path staging = target;
    staging += L".staging";
    run.events.log(L"  解压 Playwright → " + target.wstring());
    RemoveTreeRetried(run, staging);
    const ExtractReport report =
        ExtractZip(localPath.wstring(), staging.wstring(), PacingOf(run), RoomIn(run, staging));
    if (report.cancelled) {
        RemoveTreeRetried(run, staging);
        return RunEnd::Cancelled;
    }
    if (report.Complete()) {
        const FileResult moved = MoveIntoPlace(run, staging, target);
        if (moved) {
            run.record.playwright = target;
            run.events.log(L"  Playwright 安装完成");
            return RunEnd::Completed;
        }
        run.events.log(L"  [警告] Playwright 移动失败: " + target.wstring() + L" - " + moved.reason);
        RemoveTreeRetried(run, staging);
        return RunEnd::Completed;
    }
    LogEntryFailures(run, report, L"  [警告] 解压失败: ");
    if (report.refusedForRoom)
        run.events.log(L"  [警告] Playwright 解压失败 - " + report.archive.error);
    else if (report.failures.empty())
        run.events.log(L"  [警告] Playwright 解压失败");
    RemoveTreeRetried(run, staging);
    return RunEnd::Completed;
}

constexpr PackageKind kPackageKinds[] = {
    {"node", NodeIsInstalled, InstallNode},
    {"playwright", PlaywrightIsInstalled, InstallPlaywright},
};

const PackageKind* KindOf(const ManifestPackage& package)
{
    for (const PackageKind& kind : kPackageKinds)
        if (kind.id == package.id) return &kind;
    return nullptr;
}

// The product is unpacked beside the installation folder, or inside it when that is a drive's root.
fs::path ProductStaging(const fs::path& installDirectory)
{
    std::wstring text = installDirectory.wstring();
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    const fs::path folder(text);
    if (!folder.has_relative_path()) return installDirectory.root_path() / L".quillmere-staging";
    return fs::path(text + L".staging");
}

// Each staged file takes its place in the installation folder; the user's own files there stay.
FileResult MoveFilesIntoPlace(const InstallRun& run, const fs::path& staging, const fs::path& target)
{
    std::vector<fs::path> files;
    if (FileResult listed = ListFiles(staging, files); !listed) return listed;
    for (const fs::path& file : files) {
        if (FileResult made = CreateFoldersRecorded(run, (target / file).parent_path()); !made) return made;
        const bool existed = Exists(target / file);
        FileResult moved = MoveRetried(run, staging / file, target / file);
        if (moved) RecordFile(run.record, target / file, existed);
        if (!moved) {
            moved.reason = (target / file).wstring() + L": " + moved.reason;
            return moved;
        }
    }
    return {};
}

void LogProductExtractFailure(const InstallRun& run, const ExtractReport& report, const std::wstring& file)
{
    if (report.refusedForRoom)
        run.events.log(L"  [错误] 解压失败: " + file + L" - " + report.archive.error);
    else if (report.failures.empty())
        run.events.log(L"  [错误] 解压失败: " + file);
    else
        LogEntryFailures(run, report, L"  [错误] 解压失败: ");
}

// Without every file of the product's own archive there is no product, so any entry that did not
// become a file ends the run, as an archive that yields nothing does. The files replace the earlier
// product's only once all of them are unpacked: a failure or a cancel leaves that product as it was.
RunEnd ExtractIntoInstallation(const InstallRun& run, const ManifestPackage& package, const fs::path& localPath)
{
    const std::wstring desc = Utf8ToWide(package.desc);
    const std::wstring file = Utf8ToWide(package.file);
    if (!WaitUntilNothingRunsFrom(run, InstallDirectory(run))) return RunEnd::Cancelled;
    run.events.status(L"正在安装 " + desc + L"...");
    run.events.log(L"  解压 " + file + L" → " + run.job.choices.installPath);
    const fs::path staging = ProductStaging(InstallDirectory(run));
    RemoveTreeRetried(run, staging);
    const ExtractReport report = ExtractZip(localPath.wstring(), staging.wstring(), PacingOf(run), RoomIn(run, staging));
    RunEnd end = RunEnd::Completed;
    if (report.cancelled) {
        end = RunEnd::Cancelled;
    } else if (!report.Complete()) {
        LogProductExtractFailure(run, report, file);
        end = RunEnd::Failed;
    } else if (const FileResult moved = MoveFilesIntoPlace(run, staging, InstallDirectory(run)); !moved) {
        run.events.log(L"  [错误] 移动失败: " + moved.reason);
        end = RunEnd::Failed;
    } else {
        run.events.log(L"  " + desc + L" 安装完成");
    }
    RemoveTreeRetried(run, staging);
    return end;
}

// Directories inside the manifest's file name are dropped: the file lands directly in installPath.
RunEnd CopyIntoInstallation(const InstallRun& run, const ManifestPackage& package, const fs::path& localPath)
{
    if (!WaitUntilNothingRunsFrom(run, InstallDirectory(run))) return RunEnd::Cancelled;
    const FileResult copied = CopyRecorded(run, localPath, InstallDirectory(run) / localPath.filename());
    if (copied)
        run.events.log(L"  " + Utf8ToWide(package.file) + L" → " + run.job.choices.installPath);
    else
        run.events.log(L"  [警告] 复制失败: " + copied.reason);
    return RunEnd::Completed;
}

RunEnd InstallDownloadedPackage(const InstallRun& run, const ManifestPackage& package, const fs::path& localPath)
{
    if (const PackageKind* kind = KindOf(package)) return kind->install(run, package, localPath);
    if (package.extract) return ExtractIntoInstallation(run, package, localPath);
    return CopyIntoInstallation(run, package, localPath);
}

// Downloads one package and puts it in place; Completed when the run may go on.
RunEnd InstallOnePackage(InstallRun& run, const ManifestPackage& package)
{
    const std::wstring desc = Utf8ToWide(package.desc);
    const std::wstring file = Utf8ToWide(package.file);
    // A name that would land outside the download folder, or is no text, is never fetched.
    if (const std::optional<std::wstring> problem = ManifestNameProblem(package.file)) {
        run.events.log(WithErrorText(L"  [错误] 下载失败: " + file, *problem));
        return RunEnd::DownloadFailed;
    }
    // A hash that cannot be one is never fetched against.
    if (!package.sha256.empty() && !IsSha256Text(package.sha256)) {
        run.events.log(WithErrorText(L"  [错误] 下载失败: " + file, L"校验值无效"));
        return RunEnd::DownloadFailed;
    }
    const fs::path local = LocalDownloadPath(run, package.file);
    run.events.status(L"正在下载 " + desc + L"...");
    run.events.log(L"下载: " + file + L" (" + DeclaredSizeText(package.size) + L")");
    const Outcome downloaded = DownloadWithRetries(run, {run.job.manifest.baseUrl + file, local, package.sha256, package.size},
                                                   kPackageRetry, PackageProgressLine);
    if (!downloaded) {
        run.events.log(WithErrorText(L"  [错误] 下载失败: " + file, downloaded.error));
        return CancelRequested(run) ? RunEnd::Cancelled : RunEnd::DownloadFailed;
    }
    run.events.detail(L"");
    // A product archive that yields nothing ends the run; its download stays for inspection.
    const RunEnd installed = InstallDownloadedPackage(run, package, local);
    if (installed != RunEnd::Completed) return installed;
    RemoveFileRetried(run, local);
    return RunEnd::Completed;
}

}  // namespace

// A browser archive holds thousands of entries; past a screenful the rest are only counted.
void LogEntryFailures(const InstallRun& run, const ExtractReport& report, const std::wstring& prefix)
{
    constexpr size_t kNamed = 20;
    for (size_t i = 0; i < report.failures.size() && i < kNamed; ++i) {
        const EntryFailure& failure = report.failures[i];
        run.events.log(prefix + Utf8ToWide(failure.name) + L" (" + EntryProblemText(failure.problem) + L")");
    }
    if (report.failures.size() > kNamed)
        run.events.log(prefix + L"另有 " + std::to_wstring(report.failures.size() - kNamed) + L" 个文件");
}

void DetectInstalledComponents(InstallRun& run)
{
    for (ManifestPackage& package : run.job.manifest.packages) {
        const PackageKind* kind = KindOf(package);
        package.alreadyPresent = kind && kind->detect(run, package);
    }
}

RunEnd DownloadPackages(InstallRun& run)
{
    for (const ManifestPackage& package : run.job.manifest.packages) {
        if (CancelRequested(run)) return RunEnd::Cancelled;
        if (package.alreadyPresent) {
            run.events.log(L"跳过: " + Utf8ToWide(package.desc) + L" (本地已存在)");
            continue;
        }
        const RunEnd end = InstallOnePackage(run, package);
        if (end != RunEnd::Completed) return end;
        CompleteStep(run);
    }
    return RunEnd::Completed;
}
