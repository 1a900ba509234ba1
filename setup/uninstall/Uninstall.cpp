#include "Uninstall.h"

#include <optional>
#include <string>

#include "agentconfig/WholeFile.h"
#include "install/FileSteps.h"
#include "install/InstallRecord.h"
#include "install/Removal.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kUninstallBlocked[] =
    L"Quillmere 正在运行，卸载无法继续。\n\n请先关闭 Quillmere 及其 Gateway 窗口，然后点击“重试”；"
    L"点击“取消”将停止卸载，所有文件保持不变。";

void LogReport(const InstallEvents& events, const RemovalReport& report)
{
    for (const RemovalItem& item : report.removed) events.log(L"  已删除: " + item.what);
    for (const RemovalItem& item : report.kept) events.log(L"  已保留: " + item.what + L" (" + item.why + L")");
    for (const RemovalItem& item : report.failed) events.log(L"  [警告] 未能删除: " + item.what + L" - " + item.why);
}

// What the uninstaller leaves on purpose, said once at the end so that nobody looks for it in vain.
void LogWhatStays(const InstallEvents& events, const InstallRecord& record, bool removeStateDirectory)
{
    if (!removeStateDirectory && !record.stateDir.empty())
        events.log(L"  配置和 API Key 已保留: " + record.stateDir.wstring());
    if (record.nodeInstalled) events.log(L"  Node.js 已保留（其他程序也可能使用）");
    if (!record.playwright.empty()) events.log(L"  Playwright 浏览器引擎已保留: " + record.playwright.wstring());
}

}  // namespace

// Only what the record lists is touched: without a record nothing is guessed at.
UninstallEnd Uninstall(const fs::path& installDir, bool removeStateDirectory, const InstallPlatform& platform,
                       const InstallEvents& events)
{
    std::string text;
    std::optional<InstallRecord> record;
    if (ReadWholeFile(installDir / kInstallRecordName, text)) record = ParseInstallRecord(text);
    if (!record) {
        events.log(L"[错误] 找不到可用的安装记录: " + (installDir / kInstallRecordName).wstring());
        events.status(L"无法卸载");
        return UninstallEnd::NoRecord;
    }
    if (!WaitUntilNothingRunsFrom(platform, events, installDir, kUninstallBlocked)) {
        events.log(L"  已停止卸载，所有文件保持不变");
        events.status(L"卸载已取消");
        return UninstallEnd::Stopped;
    }
    events.status(L"正在卸载...");
    const RemovalReport report = RemoveRecorded(*record, platform, {platform.sleep, nullptr},
                                                {RemovalPurpose::Uninstall, removeStateDirectory});
    LogReport(events, report);
    LogWhatStays(events, *record, removeStateDirectory);
    if (!report.failed.empty()) {
        events.log(L"  共 " + std::to_wstring(report.failed.size()) + L" 项未能删除，请关闭占用它们的程序后手动删除");
        events.status(L"卸载未完成");
        return UninstallEnd::Incomplete;
    }
    events.status(L"卸载完成");
    return UninstallEnd::Removed;
}

int UninstallExitCode(UninstallEnd end)
{
    return end == UninstallEnd::Removed ? 0 : 1;
}
