#include "ConfigPhase.h"

#include <cstdint>
#include <filesystem>
#include <optional>

#include "FileSteps.h"
#include "InstallPlan.h"
#include "agentconfig/AgentConfigText.h"
#include "agentconfig/StateDirectory.h"
#include "agentconfig/WholeFile.h"
#include "base/SystemError.h"
#include "base/Text.h"
#include "vault/CredentialText.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kLegacyHomeDeletion[] = L"delete HKCU\\Environment /v HARROWBY_HOME /f";
constexpr uint32_t kRegDeleteLimitMs = 5000;

constexpr const char* kCanvasLibraries[] = {"a2ui.bundle.js", "mammoth.browser.min.js", "xlsx.full.min.js"};

ConfigChoices ChoicesFromSettings(const InstallerSettings& settings)
{
    return {WideToUtf8(settings.installPath), WideToUtf8(settings.apiKey), WideToUtf8(settings.model),
            WideToUtf8(settings.dashscopeKey), WideToUtf8(settings.port), settings.apiProvider};
}

// The steps below return a failure only for what the agent cannot do without; it ends the run,
// with the system's reason and the file it concerned.
Outcome FileFailure(const std::wstring& reason, const fs::path& path)
{
    return Failure(reason + L": " + path.wstring());
}

// Whether something stands at path; a system that cannot tell fails the step rather than guessing.
Outcome TestExists(const fs::path& path, bool& exists)
{
    std::error_code error;
    exists = fs::exists(path, error);
    return error ? FileFailure(ErrorCodeText(error), path) : Success();
}

Outcome CopyNeeded(const InstallRun& run, const fs::path& from, const fs::path& to)
{
    const FileResult copied = CopyRecorded(run, from, to);
    return copied ? Success() : FileFailure(copied.reason, to);
}

void WriteInstallerConfig(const InstallRun& run, const ConfigChoices& choices)
{
    const Outcome written = WriteRecorded(run, InstallDirectory(run) / "config.json", InstallerConfigText(choices));
    LogStepOutcome(run, written, L"  配置文件已写入: config.json", L"配置文件写入失败");
}

// Folders that cannot be created are not reported here: the files meant for them fail later.
StateDirectory PrepareStateDirectory(const InstallRun& run)
{
    const StateDirectory dirs = StateDirectoryUnder(run.job.folders.profile);
    run.record.stateDir = dirs.stateDir;
    if (CreateFoldersRecorded(run, dirs.agentDir) && CreateFoldersRecorded(run, dirs.canvasDir))
        run.events.log(L"  目录已创建: " + dirs.stateDir.wstring());
    return dirs;
}

Outcome PlaceAgentConfig(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs,
                         const fs::path& destination)
{
    const fs::path templateA = InstallDirectory(run) / "config-template.json";
    const fs::path templateB = InstallDirectory(run) / "config-files" / "harrowby.json";
    bool hasA = false, hasB = false;
    if (const Outcome tested = TestExists(templateA, hasA); !tested) return tested;
    if (const Outcome tested = hasA ? Success() : TestExists(templateB, hasB); !tested) return tested;
    if (hasA || hasB) {
        if (const Outcome copied = CopyNeeded(run, hasA ? templateA : templateB, destination); !copied) return copied;
        run.events.log(hasA ? std::wstring(L"  config-template.json → harrowby.json")
                            : L"  harrowby.json → " + dirs.stateDir.wstring());
        return Success();
    }
    run.events.log(L"  [防护] 模板未找到，生成最小配置文件");
    const Outcome written = WriteRecorded(run, destination, MinimalAgentConfigText(choices));
    LogStepOutcome(run, written, L"  最小配置已写入: " + destination.wstring(), L"最小配置写入失败");
    return Success();
}

// A file that exists but cannot be read is left as it is, never written back empty.
Outcome DeployAgentConfig(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path destination = dirs.stateDir / "harrowby.json";
    if (const Outcome placed = PlaceAgentConfig(run, choices, dirs, destination); !placed) return placed;
    bool placedThere = false;
    if (const Outcome tested = TestExists(destination, placedThere); !tested || !placedThere) return tested;
    std::string text;
    if (const Outcome read = ReadWholeFile(destination, text); !read) {
        run.events.log(L"  [警告] harrowby.json 无法读取，未修改: " + read.error);
        return Success();
    }
    for (const std::string& line : PatchAgentConfig(text, choices)) run.events.log(Utf8ToWide(line));
    LogStepOutcome(run, WriteRecorded(run, destination, text),
                   L"  skills.load.extraDirs → " + Utf8ToWide(SkillsDirFromInstallPath(choices.installPath)),
                   L"harrowby.json 写入失败");
    return Success();
}

// Without a key the template is copied as it is; with one, its placeholder is filled. A template
// that cannot be read leaves the profiles already there untouched.
Outcome DeployAuthProfiles(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path source = InstallDirectory(run) / "config-files" / "auth-profiles.json";
    bool hasTemplate = false;
    if (const Outcome tested = TestExists(source, hasTemplate); !tested || !hasTemplate) return tested;
    const fs::path destination = dirs.agentDir / "auth-profiles.json";
    if (choices.apiKey.empty()) {
        if (const Outcome copied = CopyNeeded(run, source, destination); !copied) return copied;
        run.events.log(L"  auth-profiles.json → " + dirs.agentDir.wstring());
        return Success();
    }
    std::string profiles;
    const Outcome read = ReadWholeFile(source, profiles);
    if (!read) {
        run.events.log(L"  [警告] auth-profiles.json 模板无法读取，未更改: " + read.error);
        return Success();
    }
    LogStepOutcome(run, WriteRecorded(run, destination, FillAuthProfilesKey(profiles, choices.apiKey)),
                   L"  auth-profiles.json → " + dirs.agentDir.wstring() + L" (API Key 已填入)",
                   L"auth-profiles.json 写入失败");
    return Success();
}

// An empty key leaves an earlier file of its name alone, and so does a key that could not be sealed.
Outcome WriteCredentialFile(const InstallRun& run, const StateDirectory& dirs, const std::string& key,
                            const char* fileName, const wchar_t* line)
{
    if (key.empty()) return Success();
    const fs::path& credentials = dirs.credentialsDir;
    if (const FileResult made = CreateFoldersRecorded(run, credentials); !made) return FileFailure(made.reason, credentials);
    std::string sealed;
    if (!run.platform.encryptCredential(key, sealed)) {
        run.events.log(L"  [警告] API Key 加密失败，凭据文件未更改");
        return Success();
    }
    LogStepOutcome(run, WriteRecorded(run, credentials / fileName, sealed), line, L"凭据文件写入失败");
    return Success();
}

// The page itself is needed; a library that cannot be copied is skipped without a line, the page
// still works without it.
Outcome DeployCanvasFiles(const InstallRun& run, const StateDirectory& dirs)
{
    const fs::path source = InstallDirectory(run) / "dist" / "canvas-host" / "a2ui";
    bool hasPage = false;
    if (const Outcome tested = TestExists(source / "quillmere.html", hasPage); !tested) return tested;
    if (hasPage) {
        const Outcome copied = CopyNeeded(run, source / "quillmere.html", dirs.canvasDir / "quillmere.html");
        if (!copied) return copied;
        run.events.log(L"  quillmere.html → " + dirs.canvasDir.wstring());
    }
    for (const char* library : kCanvasLibraries) {
        if (!Exists(source / library)) continue;
        const FileResult skippedIfFailed = CopyRecorded(run, source / library, dirs.canvasDir / library);
        static_cast<void>(skippedIfFailed);
    }
    return Success();
}

// Older installations pointed the agent elsewhere through this user variable.
void ClearLegacyHomeVariable(const InstallRun& run)
{
    const std::optional<std::wstring> value = run.platform.environmentVariable(L"HARROWBY_HOME");
    if (!value) return;
    // reg.exe itself, from the system folder: no cmd.exe, and never a reg beside setup.exe.
    const std::optional<fs::path> reg = run.platform.systemProgram(L"reg.exe");
    const CommandResult deleted =
        reg ? run.platform.runCommand({.commandLine = CommandLineOf(*reg, kLegacyHomeDeletion),
                                       .waitLimitMs = kRegDeleteLimitMs})
            : CommandResult{};
    const Outcome outcome = !deleted.started          ? Failure(L"无法启动 reg")
                            : deleted.exitCode == 0u  ? Success()
                            : !deleted.exitCode       ? Failure(L"reg 未在限时内结束")
                                                      : Failure(L"reg 退出码 " + std::to_wstring(*deleted.exitCode));
    LogStepOutcome(run, outcome, L"  已清理旧版 HARROWBY_HOME = " + *value, L"旧版 HARROWBY_HOME 清理失败");
}

// Each step in turn; the first that fails ends the deployment with its reason.
Outcome DeployIntoStateDirectory(const InstallRun& run, const ConfigChoices& choices)
{
    if (run.job.folders.profile.empty()) return Failure(L"找不到用户目录 (USERPROFILE)");
    const StateDirectory dirs = PrepareStateDirectory(run);
    Outcome step = DeployAgentConfig(run, choices, dirs);
    if (step) step = DeployAuthProfiles(run, choices, dirs);
    if (step) step = WriteCredentialFile(run, dirs, choices.apiKey, "qwen-portal_default", L"  API Key 已加密写入凭据文件");
    if (step)
        step = WriteCredentialFile(run, dirs, choices.dashscopeKey, kDashscopeCredentialFile,
                                   L"  多模态 API Key 已加密写入凭据文件");
    if (step) step = DeployCanvasFiles(run, dirs);
    return step;
}

}  // namespace

RunEnd WriteConfiguration(InstallRun& run)
{
    const ConfigChoices choices = ChoicesFromSettings(run.job.choices);
    run.events.status(L"正在写入配置...");
    WriteInstallerConfig(run, choices);
    run.events.status(L"正在部署用户目录配置...");
    if (const Outcome deployed = DeployIntoStateDirectory(run, choices); !deployed) {
        LogRunFailure(run, deployed.error);
        return RunEnd::Failed;
    }
    ClearLegacyHomeVariable(run);
    run.events.log(std::wstring(L"  stateDir → %USERPROFILE%\\") + kStateDirectoryName + L" (默认)");
    return RunEnd::Completed;
}
