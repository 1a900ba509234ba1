#include "Skills.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>

#include "FileSteps.h"
#include "InstallPlan.h"
#include "Packages.h"
#include "Transfer.h"
#include "archive/Zip.h"
#include "base/Text.h"
#include "base/WindowsNames.h"
#include "net/Progress.h"

namespace fs = std::filesystem;

namespace {

// A skill's id and file become paths under our own folders; a name that would climb out, or that is
// no text at all, is refused, and so is a second skill whose folder Windows could not tell from an
// earlier one's.
std::optional<std::wstring> SkillNameProblem(const ManifestSkill& skill, std::set<std::wstring>& folders)
{
    if (std::optional<std::wstring> problem = ManifestNameProblem(skill.id)) return problem;
    if (std::optional<std::wstring> problem = ManifestNameProblem(skill.file)) return problem;
    if (!folders.insert(NameAsWindowsCompares(skill.id)).second) return L"与另一文件同名";
    return std::nullopt;
}

// False only when the user chose to stop: rather than close a program running from the skill's folder, or during its unpacking.
bool InstallOneSkill(const InstallRun& run, const ManifestSkill& skill, std::set<std::wstring>& folders)
{
    const std::wstring name = SkillDisplayName(skill);
    if (const std::optional<std::wstring> problem = SkillNameProblem(skill, folders)) {
        run.events.log(L"  [警告] 下载失败: " + name + L" - " + *problem);
        return true;
    }
    if (!skill.sha256.empty() && !IsSha256Text(skill.sha256)) {
        run.events.log(L"  [警告] 下载失败: " + name + L" - 校验值无效");
        return true;
    }
    const fs::path local = LocalDownloadPath(run, skill.file);
    run.events.log(L"下载 Skill: " + name + L" (" + DeclaredSizeText(skill.size) + L")");
    const Outcome downloaded = DownloadWithRetries(
        run, {run.job.manifest.baseUrl + Utf8ToWide(skill.file), local, skill.sha256, skill.size}, kSkillRetry, SkillProgressLine);
    if (!downloaded) {
        run.events.log(WithErrorText(L"  [警告] 下载失败: " + name, downloaded.error));
        return true;
    }
    run.events.detail(L"");
    const fs::path skillFolder = InstallDirectory(run) / L"skills" / Utf8ToWide(skill.id);
    if (!WaitUntilNothingRunsFrom(run, skillFolder)) return false;
    const ExtractReport report =
        ExtractZip(local.wstring(), skillFolder.wstring(), PacingOf(run), RoomIn(run, skillFolder));
    RecordExtraction(run, report);
    if (!report.written.empty() && std::find(run.record.skills.begin(), run.record.skills.end(), skillFolder) == run.record.skills.end())
        run.record.skills.push_back(skillFolder);
    if (report.cancelled) return false;
    if (report.Complete())
        run.events.log(L"  " + name + L" 安装完成");
    else if (report.refusedForRoom)
        run.events.log(L"  [警告] 解压失败: " + name + L" - " + report.archive.error);
    else if (report.failures.empty())
        run.events.log(L"  [警告] 解压失败: " + name);
    LogEntryFailures(run, report, L"  [警告] 解压失败: " + name + L"/");
    RemoveFileRetried(run, local);
    return true;
}

}  // namespace

RunEnd InstallSkills(InstallRun& run)
{
    run.events.status(L"正在安装 Skills...");
    const int skillCount = CountSkillsToInstall(run.job.manifest);
    int index = 0;
    std::set<std::wstring> folders;
    for (const ManifestSkill& skill : run.job.manifest.skills) {
        if (CancelRequested(run)) return RunEnd::Cancelled;
        if (!IsSkillToInstall(skill)) continue;
        ++index;
        run.events.status(L"正在安装 " + SkillDisplayName(skill) + L" (" + std::to_wstring(index) + L"/" +
                          std::to_wstring(skillCount) + L")...");
        if (!InstallOneSkill(run, skill, folders)) return RunEnd::Cancelled;
        CompleteStep(run);
    }
    run.events.log(L"Skills 安装完成 (" + std::to_wstring(index) + L" 个技能)");
    return RunEnd::Completed;
}
