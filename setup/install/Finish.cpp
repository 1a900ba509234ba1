#include "Finish.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "BuildConfig.h"
#include "InstallPlan.h"
#include "FileSteps.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kBanner[] = L"════════════════════════════════════════";
constexpr wchar_t kUninstallEntryKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmere";

// What stood before the first write of this run, so that an undo can put it back.
void NoteBeforeWrite(const InstallRun& run, const wchar_t* subkey, const wchar_t* valueName, bool secret)
{
    const std::wstring key = subkey;
    if (std::find(run.record.keys.begin(), run.record.keys.end(), key) == run.record.keys.end() &&
        !run.platform.registryKeyExists(subkey))
        run.record.keys.push_back(key);
    RecordValue(run.record, {key, valueName, run.platform.readRegistryString(subkey, valueName), secret});
}

Outcome WriteValue(const InstallRun& run, const wchar_t* subkey, const wchar_t* valueName, const std::wstring& text,
                   bool secret = false)
{
    NoteBeforeWrite(run, subkey, valueName, secret);
    return run.platform.writeRegistryString(subkey, valueName, text);
}

Outcome WriteSetting(const InstallRun& run, const wchar_t* valueName, const std::wstring& text, bool secret = false)
{
    return WriteValue(run, kSettingsRegistryKey, valueName, text, secret);
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
    keep(WriteSetting(run, L"ApiKey", choices.apiKey, true));
    keep(WriteSetting(run, L"Model", choices.model));
    keep(WriteSetting(run, L"Port", choices.port));
    keep(WriteSetting(run, L"ApiProvider", choices.apiProvider != 0 ? L"1" : L"0"));
    // An empty key keeps the one stored earlier rather than erasing it.
    if (!choices.dashscopeKey.empty()) keep(WriteSetting(run, L"DashscopeKey", choices.dashscopeKey, true));
    return outcome;
}

// Without a desktop folder there is no shortcut and nothing to say.
void CreateDesktopShortcut(const InstallRun& run)
{
    const std::filesystem::path& desktop = run.job.folders.desktop;
    if (desktop.empty()) return;
    const std::wstring& installPath = run.job.choices.installPath;
    const fs::path link = desktop / L"Quillmere Gateway.lnk";
    const bool existed = Exists(link);
    const std::optional<Outcome> saved =
        run.platform.createShortcut(link, LauncherPath(installPath), installPath, L"启动 Quillmere Gateway");
    if (saved && *saved && !run.record.shortcut) run.record.shortcut = RecordedFile{link, existed};
    if (saved) LogStepOutcome(run, *saved, L"  桌面快捷方式已创建", L"桌面快捷方式保存失败");
}

// What this and the earlier installations put into their folders, for the size Windows shows.
uint64_t InstalledBytes(const InstallRecord& record)
{
    uint64_t bytes = 0;
    std::error_code error;
    const auto add = [&bytes, &error](const fs::path& file) {
        if (fs::is_regular_file(fs::symlink_status(file, error))) bytes += fs::file_size(file, error);
    };
    const auto inStateDir = [&record](const fs::path& path) {
        const fs::path relative = path.lexically_relative(record.stateDir);
        return !record.stateDir.empty() && !relative.empty() && *relative.begin() != "..";
    };
    for (const RecordedFile& file : record.files)
        if (!inStateDir(file.path)) add(file.path);
    for (const fs::path& tree : record.trees)
        for (auto entry = fs::recursive_directory_iterator(tree, error); !error && entry != fs::recursive_directory_iterator();
             entry.increment(error))
            add(entry->path());
    return bytes;
}

std::wstring DateText(const LocalTime& now)
{
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%04d%02d%02d", now.year, now.month, now.day);
    return text;
}

Outcome WriteEntryNumber(const InstallRun& run, const wchar_t* valueName, uint32_t number)
{
    return run.platform.writeRegistryNumber(kUninstallEntryKey, valueName, number);
}

// Settings → Apps lists Quillmere under one key, whatever how often it was installed.
Outcome WriteUninstallEntry(const InstallRun& run, const fs::path& uninstaller)
{
    const std::wstring& installPath = run.job.choices.installPath;
    const std::wstring version = Utf8ToWide(run.job.manifest.version);
    InstallRecord whole = run.earlier ? MergeInstallRecords(*run.earlier, run.record) : run.record;
    const uint64_t kib = (InstalledBytes(whole) + 1023) / 1024;
    Outcome outcome = Success();
    const auto keep = [&outcome](Outcome written) {
        if (outcome && !written) outcome = std::move(written);
    };
    keep(WriteValue(run, kUninstallEntryKey, L"DisplayName", L"Quillmere"));
    keep(WriteValue(run, kUninstallEntryKey, L"DisplayIcon", installPath + L"\\launcher.exe"));
    // A release without a version shows none, rather than an earlier one's.
    if (!version.empty()) keep(WriteValue(run, kUninstallEntryKey, L"DisplayVersion", version));
    else keep(run.platform.deleteRegistryValue(kUninstallEntryKey, L"DisplayVersion"));
    keep(WriteValue(run, kUninstallEntryKey, L"Publisher", L"Quillmere"));
    keep(WriteValue(run, kUninstallEntryKey, L"InstallLocation", installPath));
    keep(WriteValue(run, kUninstallEntryKey, L"InstallDate", DateText(run.platform.localTime())));
    keep(WriteValue(run, kUninstallEntryKey, L"UninstallString", L"\"" + uninstaller.wstring() + L"\""));
    keep(WriteEntryNumber(run, L"EstimatedSize", static_cast<uint32_t>(std::min<uint64_t>(kib, UINT32_MAX))));
    keep(WriteEntryNumber(run, L"NoModify", 1));
    keep(WriteEntryNumber(run, L"NoRepair", 1));
    if (std::find(run.record.keys.begin(), run.record.keys.end(), kUninstallEntryKey) == run.record.keys.end())
        run.record.keys.push_back(kUninstallEntryKey);
    return outcome;
}

// Without its uninstaller the entry would offer a removal that cannot start, so it is left out too.
void RegisterUninstaller(const InstallRun& run)
{
    const fs::path uninstaller = InstallDirectory(run) / L"uninstall.exe";
    const bool existed = Exists(uninstaller);
    const FileResult written = Retried([&] { return run.platform.writeUninstaller(uninstaller); }, PacingOf(run));
    if (written || (!existed && Exists(uninstaller))) RecordFile(run.record, uninstaller, existed);
    if (!written) {
        run.events.log(L"  [警告] 卸载程序写入失败: " + written.reason);
        return;
    }
    LogStepOutcome(run, WriteUninstallEntry(run, uninstaller), L"  已添加到“应用和功能”", L"“应用和功能”登记失败");
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
    RegisterUninstaller(run);
    LogStepOutcome(run, SaveInstallRecord(run), L"  安装记录已保存: " + std::wstring(kInstallRecordName), L"安装记录保存失败");
    LogWarningSummary(run);
    run.events.log(L"");
    run.events.log(kBanner);
    run.events.log(L"  安装完成!");
    run.events.log(L"  安装目录: " + run.job.choices.installPath);
    run.events.log(kBanner);
    return RunEnd::Completed;
}
