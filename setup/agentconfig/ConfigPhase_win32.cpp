#include "ConfigPhase.h"

#include <windows.h>

#include <filesystem>

#include "AgentConfigText.h"
#include "StateDirectory.h"
#include "WholeFile.h"
#include "install/Process.h"
#include "shell/Messages.h"
#include "shell/Settings.h"
#include "shell/Text.h"
#include "vault/Vault.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kCanvasLibraries[] = {"a2ui.bundle.js", "mammoth.browser.min.js", "xlsx.full.min.js"};

ConfigChoices ChoicesFromSettings()
{
    return {WideToUtf8(Settings.installPath), WideToUtf8(Settings.apiKey), WideToUtf8(Settings.model),
            WideToUtf8(Settings.dashscopeKey), WideToUtf8(Settings.port), Settings.apiProvider};
}

void WriteInstallerConfig(const ConfigChoices& choices)
{
    WriteWholeFile(fs::path(Settings.installPath) / "config.json", InstallerConfigText(choices));
    PostLog(L"  配置文件已写入: config.json");
}

void PlaceAgentConfig(const ConfigChoices& choices, const StateDirectory& dirs, const fs::path& destination)
{
    const fs::path templateA = fs::path(Settings.installPath) / "config-template.json";
    const fs::path templateB = fs::path(Settings.installPath) / "config-files" / "harrowby.json";
    if (fs::exists(templateA)) {
        CopyFileReplacing(templateA, destination);
        PostLog(L"  config-template.json → harrowby.json");
    } else if (fs::exists(templateB)) {
        CopyFileReplacing(templateB, destination);
        PostLog(L"  harrowby.json → " + dirs.stateDir.wstring());
    } else {
        PostLog(L"  [防护] 模板未找到，生成最小配置文件");
        WriteWholeFile(destination, MinimalAgentConfigText(choices));
        PostLog(L"  最小配置已写入: " + destination.wstring());
    }
}

// A file that exists but cannot be read is left as it is, never written back empty.
void DeployAgentConfig(const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path destination = dirs.stateDir / "harrowby.json";
    PlaceAgentConfig(choices, dirs, destination);
    if (!fs::exists(destination)) return;
    std::string text = ReadWholeFile(destination);
    std::error_code sizeError;
    if (text.empty() && fs::file_size(destination, sizeError) != 0) return;
    for (const std::string& line : PatchAgentConfig(text, choices)) PostLog(Utf8ToWide(line));
    WriteWholeFile(destination, text);
    PostLog(L"  skills.load.extraDirs → " + Utf8ToWide(SkillsDirFromInstallPath(choices.installPath)));
}

void DeployAuthProfiles(const ConfigChoices& choices, const StateDirectory& dirs)
{
    const fs::path source = fs::path(Settings.installPath) / "config-files" / "auth-profiles.json";
    if (!fs::exists(source)) return;
    const fs::path destination = dirs.agentDir / "auth-profiles.json";
    if (choices.apiKey.empty()) {
        CopyFileReplacing(source, destination);
        PostLog(L"  auth-profiles.json → " + dirs.agentDir.wstring());
        return;
    }
    WriteWholeFile(destination, FillAuthProfilesKey(ReadWholeFile(source), choices.apiKey));
    PostLog(L"  auth-profiles.json → " + dirs.agentDir.wstring() + L" (API Key 已填入)");
}

// An empty key leaves an earlier file of its name alone.
void WriteCredentialFile(const StateDirectory& dirs, const std::string& key, const char* fileName, const wchar_t* line)
{
    if (key.empty()) return;
    const fs::path credentials = dirs.stateDir / "credentials";
    fs::create_directories(credentials);
    WriteWholeFile(credentials / fileName, EncryptCredential(key));
    PostLog(line);
}

void DeployCanvasFiles(const StateDirectory& dirs)
{
    const fs::path source = fs::path(Settings.installPath) / "dist" / "canvas-host" / "a2ui";
    if (fs::exists(source / "quillmere.html")) {
        CopyFileReplacing(source / "quillmere.html", dirs.canvasDir / "quillmere.html");
        PostLog(L"  quillmere.html → " + dirs.canvasDir.wstring());
    }
    for (const char* library : kCanvasLibraries) {
        if (!fs::exists(source / library)) continue;
        try {
            CopyFileReplacing(source / library, dirs.canvasDir / library);
        } catch (...) {
            // a library that cannot be copied is skipped without a line; the page still works without it
        }
    }
}

// Older installations pointed the agent elsewhere through this user variable.
void ClearLegacyHomeVariable()
{
    wchar_t value[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"HARROWBY_HOME", value, MAX_PATH) == 0) return;
    RunCommand({L"cmd.exe /c reg delete HKCU\\Environment /v HARROWBY_HOME /f", L"", OutputMode::None, false, true});
    PostLog(std::wstring(L"  已清理旧版 HARROWBY_HOME = ") + value);
}

}  // namespace

void RunConfigurationPhase()
{
    const ConfigChoices choices = ChoicesFromSettings();
    PostStatus(L"正在写入配置...");
    WriteInstallerConfig(choices);
    PostStatus(L"正在部署用户目录配置...");
    const StateDirectory dirs = PrepareStateDirectory();
    DeployAgentConfig(choices, dirs);
    DeployAuthProfiles(choices, dirs);
    WriteCredentialFile(dirs, choices.apiKey, "qwen-portal_default", L"  API Key 已加密写入凭据文件");
    WriteCredentialFile(dirs, choices.dashscopeKey, "dashscope-native", L"  多模态 API Key 已加密写入凭据文件");
    DeployCanvasFiles(dirs);
    ClearLegacyHomeVariable();
    PostLog(L"  stateDir → %USERPROFILE%\\.harrowby (默认)");
}
