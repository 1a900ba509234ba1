#include "Finish.h"

#include "BuildConfig.h"
#include "InstallPlan.h"

namespace {

constexpr wchar_t kBanner[] = L"════════════════════════════════════════";

Outcome WriteSetting(const InstallRun& run, const wchar_t* valueName, const std::wstring& text)
{
    return run.platform.writeRegistryString(kSettingsRegistryKey, valueName, text);
}

// Every value is written on its own; the first failure is the one reported.
Outcome WriteChoices(const InstallRun& run)
{
    const InstallerSettings& choices = run.job.choices;
    Outcome outcome = Success();
    const auto keep = [&outcome](Outcome written) {
        if (outcome && !written) outcome = std::move(written);
    };
    keep(WriteSetting(run, L"InstallPath", choices.installPath));
    keep(WriteSetting(run, L"ApiKey", choices.apiKey));
    keep(WriteSetting(run, L"Model", choices.model));
    keep(WriteSetting(run, L"Port", choices.port));
    keep(WriteSetting(run, L"ApiProvider", choices.apiProvider != 0 ? L"1" : L"0"));
    // An empty key keeps the one stored earlier rather than erasing it.
    if (!choices.dashscopeKey.empty()) keep(WriteSetting(run, L"DashscopeKey", choices.dashscopeKey));
    return outcome;
}

// Without a desktop folder there is no shortcut and nothing to say.
void CreateDesktopShortcut(const InstallRun& run)
{
    const std::filesystem::path& desktop = run.job.folders.desktop;
    if (desktop.empty()) return;
    const std::wstring& installPath = run.job.choices.installPath;
    const std::optional<Outcome> saved = run.platform.createShortcut(
        desktop / L"Quillmere Gateway.lnk", LauncherPath(installPath), installPath, L"启动 Quillmere Gateway");
    if (saved) LogStepOutcome(run, *saved, L"  桌面快捷方式已创建", L"桌面快捷方式保存失败");
}

// The warnings again at the end, where they cannot scroll by unnoticed.
void LogWarningSummary(const InstallRun& run)
{
    if (run.warnings.empty()) return;
    const std::vector<std::wstring> warnings = run.warnings;
    run.events.log(L"  共 " + std::to_wstring(warnings.size()) + L" 个警告:");
    for (const std::wstring& warning : warnings) run.events.log(warning);
}

// The vendor's skill repository, recorded for the installed product.
std::wstring SkillRepositoryUrl()
{
    return std::wstring(kVendorSite) + L"/new/quillmere";
}

}  // namespace

RunEnd SaveChoicesAndShortcut(InstallRun& run)
{
    run.events.status(L"正在保存注册表...");
    LogStepOutcome(run, WriteChoices(run), L"  注册表配置已保存", L"注册表配置保存失败");
    CreateDesktopShortcut(run);
    return RunEnd::Completed;
}

RunEnd FinishWithBanner(InstallRun& run)
{
    LogStepOutcome(run, WriteSetting(run, L"SkillRepoUrl", SkillRepositoryUrl()), L"  技能市场仓库已配置",
                   L"技能市场仓库配置失败");
    LogWarningSummary(run);
    run.events.log(L"");
    run.events.log(kBanner);
    run.events.log(L"  安装完成!");
    run.events.log(L"  安装目录: " + run.job.choices.installPath);
    run.events.log(kBanner);
    return RunEnd::Completed;
}
