#include "ConfigPhase.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "FileSteps.h"
#include "InstallPlan.h"
#include "agentconfig/AgentConfigText.h"
#include "agentconfig/StateDirectory.h"
#include "agentconfig/WholeFile.h"
#include "base/Text.h"
#include "vault/Vault.h"

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

// A copy the configuration cannot do without: its failure ends the run, as any escaping error does.
void CopyOrThrow(const InstallRun& run, const fs::path& from, const fs::path& to)
{
    const FileResult copied = CopyRecorded(run, from, to);
    if (!copied) throw std::runtime_error(WideToUtf8(copied.reason));
}

void WriteInstallerConfig(const InstallRun& run, const ConfigChoices& choices)
{
    const Outcome written = WriteRecorded(run, InstallDirectory(run) / "config.json", InstallerConfigText(choices));
    LogStepOutcome(run, written, L"  配置文件已写入: config.json", L"配置文件写入失败");
}

// Creates the folder as the library does, noting in the record the folders that were missing.
void CreateFoldersNoted(const InstallRun& run, const fs::path& folder, std::error_code& error)
{
    const std::vector<fs::path> missing = MissingFolders(folder);
    fs::create_directories(folder, error);
    for (const fs::path& created : missing)
        if (IsFolder(created)) RecordFolder(run.record, created);
}

// Folders that cannot be created are not reported here: the files meant for them fail later.
StateDirectory PrepareStateDirectory(const InstallRun& run)
{
    if (run.job.folders.profile.empty()) throw std::runtime_error("cannot find the user profile folder");
    const StateDirectory dirs = StateDirectoryUnder(run.job.folders.profile);
    run.record.stateDir = dirs.stateDir;
    std::error_code error;
    CreateFoldersNoted(run, dirs.agentDir, error);
    if (!error) CreateFoldersNoted(run, dirs.canvasDir, error);
    if (!error) run.events.log(L"  目录已创建: " + dirs.stateDir.wstring());
    return dirs;
}

void PlaceAgentConfig(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs,
                      const fs::path& destination)
{
    const fs::path templateA = InstallDirectory(run) / "config-template.json";
    const fs::path templateB = InstallDirectory(run) / "config-files" / "harrowby.json";
    if (fs::exists(templateA)) {
        CopyOrThrow(run, templateA, destination);
        run.events.log(L"  config-template.json → harrowby.json");
    } else if (fs::exists(templateB)) {
        CopyOrThrow(run, templateB, destination);
        run.events.log(L"  harrowby.json → " + dirs.stateDir.wstring());
    } else {
        run.events.log(L"  [防护] 模板未找到，生成最小配置文件");
        const Outcome written = WriteRecorded(run, destination, MinimalAgentConfigText(choices));
        LogStepOutcome(run, written, L"  最小配置已写入: " + destination.wstring(), L"最小配置写入失败");
    }
}

// A file that exists but cannot be read is left as it is, never written back empty.
void DeployAgentConfig(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path destination = dirs.stateDir / "harrowby.json";
    PlaceAgentConfig(run, choices, dirs, destination);
    if (!fs::exists(destination)) return;
    std::string text;
    if (const Outcome read = ReadWholeFile(destination, text); !read) {
        run.events.log(L"  [警告] harrowby.json 无法读取，未修改: " + read.error);
        return;
    }
    for (const std::string& line : PatchAgentConfig(text, choices)) run.events.log(Utf8ToWide(line));
    LogStepOutcome(run, WriteRecorded(run, destination, text),
                   L"  skills.load.extraDirs → " + Utf8ToWide(SkillsDirFromInstallPath(choices.installPath)),
                   L"harrowby.json 写入失败");
}

// Without a key the template is copied as it is; with one, its placeholder is filled. A template
// that cannot be read leaves the profiles already there untouched.
void DeployAuthProfiles(const InstallRun& run, const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path source = InstallDirectory(run) / "config-files" / "auth-profiles.json";
    if (!fs::exists(source)) return;
    const fs::path destination = dirs.agentDir / "auth-profiles.json";
    if (choices.apiKey.empty()) {
        CopyOrThrow(run, source, destination);
        run.events.log(L"  auth-profiles.json → " + dirs.agentDir.wstring());
        return;
    }
    std::string profiles;
    const Outcome read = ReadWholeFile(source, profiles);
    if (!read) {
        run.events.log(L"  [警告] auth-profiles.json 模板无法读取，未更改: " + read.error);
        return;
    }
    LogStepOutcome(run, WriteRecorded(run, destination, FillAuthProfilesKey(profiles, choices.apiKey)),
                   L"  auth-profiles.json → " + dirs.agentDir.wstring() + L" (API Key 已填入)",
                   L"auth-profiles.json 写入失败");
}

// An empty key leaves an earlier file of its name alone, and so does a key that could not be sealed.
void WriteCredentialFile(const InstallRun& run, const StateDirectory& dirs, const std::string& key,
                         const char* fileName, const wchar_t* line)
{
    if (key.empty()) return;
    const fs::path& credentials = dirs.credentialsDir;
    std::error_code error;
    CreateFoldersNoted(run, credentials, error);
    if (error) throw fs::filesystem_error("cannot create the credentials folder", credentials, error);
    std::string sealed;
    if (!run.platform.encryptCredential(key, sealed)) {
        run.events.log(L"  [警告] API Key 加密失败，凭据文件未更改");
        return;
    }
    LogStepOutcome(run, WriteRecorded(run, credentials / fileName, sealed), line, L"凭据文件写入失败");
}

// The page itself is needed; a library that cannot be copied is skipped without a line, the page
// still works without it.
void DeployCanvasFiles(const InstallRun& run, const StateDirectory& dirs)
{
    const fs::path source = InstallDirectory(run) / "dist" / "canvas-host" / "a2ui";
    if (fs::exists(source / "quillmere.html")) {
        CopyOrThrow(run, source / "quillmere.html", dirs.canvasDir / "quillmere.html");
        run.events.log(L"  quillmere.html → " + dirs.canvasDir.wstring());
    }
    for (const char* library : kCanvasLibraries) {
        if (!fs::exists(source / library)) continue;
        const FileResult skippedIfFailed = CopyRecorded(run, source / library, dirs.canvasDir / library);
        static_cast<void>(skippedIfFailed);
    }
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

}  // namespace

RunEnd WriteConfiguration(InstallRun& run)
{
    const ConfigChoices choices = ChoicesFromSettings(run.job.choices);
    run.events.status(L"正在写入配置...");
    WriteInstallerConfig(run, choices);
    run.events.status(L"正在部署用户目录配置...");
    const StateDirectory dirs = PrepareStateDirectory(run);
    DeployAgentConfig(run, choices, dirs);
    DeployAuthProfiles(run, choices, dirs);
    WriteCredentialFile(run, dirs, choices.apiKey, "qwen-portal_default", L"  API Key 已加密写入凭据文件");
    WriteCredentialFile(run, dirs, choices.dashscopeKey, kDashscopeCredentialFile,
                        L"  多模态 API Key 已加密写入凭据文件");
    DeployCanvasFiles(run, dirs);
    ClearLegacyHomeVariable(run);
    run.events.log(std::wstring(L"  stateDir → %USERPROFILE%\\") + kStateDirectoryName + L" (默认)");
    return RunEnd::Completed;
}
