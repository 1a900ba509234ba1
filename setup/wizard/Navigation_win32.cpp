#include "Navigation_win32.h"

#include <windows.h>
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>

#include "ControlIds.h"
#include "Validation.h"
#include "WindowEvents_win32.h"
#include "WizardTexts.h"
#include "WriteCheck.h"
#include "base/SystemError.h"
#include "install/Install.h"
#include "install/InstallPlan.h"

namespace {

constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCloseTimerMs = 200;
constexpr UINT_PTR kWorkerWatchTimer = 2;
constexpr UINT kWorkerWatchMs = 500;
// A worker that has not stopped this long after the close box (a child that ignores its job, an
// unpacking that takes its time) is not waited for any longer.
constexpr DWORD kCloseDeadlineMs = 8000;

void Warn(HWND window, const wchar_t* text)
{
    MessageBoxW(window, text, L"提示", MB_OK | MB_ICONWARNING);
}

HWND PageControl(HWND page, int id)
{
    return GetDlgItem(page, id);
}

// As long as the field holds: a key is never cut short without a word.
std::wstring ConfigText(const Wizard& wizard, int id)
{
    const HWND field = GetDlgItem(wizard.pages[kConfigPage], id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
    return text;
}

void SetButtons(HWND window, const wchar_t* next, const wchar_t* cancel)
{
    SetDlgItemTextW(window, IDC_NEXT, next);
    if (cancel) SetDlgItemTextW(window, IDC_CANCEL, cancel);
}

void LeaveDisclaimer(Wizard& wizard)
{
    if (SendMessageW(PageControl(wizard.pages[kDisclaimerPage], IDC_ACCEPT), BM_GETCHECK, 0, 0) != BST_CHECKED) {
        Warn(wizard.window, L"请阅读并同意免责声明后再继续安装。");
        return;
    }
    ShowPage(wizard, kConfigPage);
    SetButtons(wizard.window, L"下一步 >", nullptr);
}

// The fields reach the settings record before, and whatever the outcome of, the checks.
void LeaveConfiguration(Wizard& wizard)
{
    InstallerSettings& settings = wizard.settings;
    settings.installPath = ConfigText(wizard, IDC_INSTALL_DIR);
    settings.apiKey = ConfigText(wizard, IDC_API_KEY);
    settings.model = ConfigText(wizard, IDC_MODEL);
    settings.dashscopeKey = ConfigText(wizard, IDC_DASHSCOPE_KEY);
    settings.port = ConfigText(wizard, IDC_PORT);
    const LRESULT provider = SendMessageW(PageControl(wizard.pages[kConfigPage], IDC_PROVIDER), CB_GETCURSEL, 0, 0);
    settings.apiProvider = provider == CB_ERR ? 0 : static_cast<int>(provider);

    if (settings.apiKey.empty()) return Warn(wizard.window, L"请输入主模型 API Key！");
    if (settings.installPath.empty()) return Warn(wizard.window, L"请选择安装目录！");
    if (!IsValidInstallPath(settings.installPath))
        return Warn(wizard.window, L"请输入有效的安装目录（例如 C:\\Quillmere）");
    if (!IsValidPort(settings.port)) return Warn(wizard.window, L"请输入有效的端口号 (1-65535)！");
    // Without administrator rights many folders (under Program Files, say) cannot be installed into.
    if (!CanWriteFolder(settings.installPath, Win32FolderCalls()))
        return Warn(wizard.window, UnwritableFolderText(settings.installPath).c_str());
    ShowPage(wizard, kSkillsPage);
    SetButtons(wizard.window, L"开始安装", nullptr);
}

// Without a worker nothing will ever end the run, so the page says so and lets the user leave.
void ReportWorkerStartFailure(const Wizard& wizard)
{
    const HWND page = wizard.pages[kProgressPage];
    SetDlgItemTextW(page, IDC_STATUS, L"安装失败");
    SendDlgItemMessageW(page, IDC_LOG, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"[错误] 无法启动安装线程"));
    EnableWindow(GetDlgItem(wizard.window, IDC_NEXT), TRUE);
}

unsigned __stdcall RunWorker(void* parameter)
{
    Wizard& wizard = *static_cast<Wizard*>(parameter);
    DoInstall(wizard.job, Win32InstallPlatform(), WindowEvents(wizard.window));
    return 0;
}

void ReadSkillSelections(Wizard& wizard)
{
    HWND list = PageControl(wizard.pages[kSkillsPage], IDC_SKILL_LIST);
    for (size_t i = 0; i < wizard.manifest.skills.size(); ++i) {
        const UINT state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK));
        wizard.manifest.skills[i].selected = (state >> 12) != 1;
    }
}

// The job is complete before the thread exists; from then on the window only sets its cancel flag.
void StartInstallation(Wizard& wizard)
{
    ReadSkillSelections(wizard);
    ShowPage(wizard, kProgressPage);
    SetButtons(wizard.window, L"完成", L"关闭");
    EnableWindow(GetDlgItem(wizard.window, IDC_NEXT), FALSE);
    wizard.job.choices = wizard.settings;
    wizard.job.manifest = wizard.manifest;
    wizard.job.folders = FindKnownFolders();
    wizard.job.cancelRequested.store(false);
    wizard.workerReported = false;
    wizard.worker.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunWorker, &wizard, 0, nullptr)));
    if (!wizard.worker)
        ReportWorkerStartFailure(wizard);
    else
        SetTimer(wizard.window, kWorkerWatchTimer, kWorkerWatchMs, nullptr);
}

void Browse(const Wizard& wizard)
{
    BROWSEINFOW info = {};
    info.hwndOwner = wizard.window;
    info.lpszTitle = L"选择安装目录";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return;
    wchar_t path[MAX_PATH] = {};
    const bool readable = SHGetPathFromIDListW(chosen, path) && path[0];
    CoTaskMemFree(chosen);
    // A pick with no file-system path (a library, a network place) leaves the field as it was.
    if (!readable) return;
    SetDlgItemTextW(wizard.pages[kConfigPage], IDC_INSTALL_DIR, AppendProductFolder(path).c_str());
}

void TickSkills(const Wizard& wizard, bool all)
{
    HWND list = PageControl(wizard.pages[kSkillsPage], IDC_SKILL_LIST);
    for (size_t i = 0; i < wizard.manifest.skills.size(); ++i)
        ListView_SetCheckState(list, static_cast<int>(i), all || wizard.manifest.skills[i].required);
}

void OnNext(Wizard& wizard)
{
    switch (wizard.currentPage) {
    case kDisclaimerPage: return LeaveDisclaimer(wizard);
    case kConfigPage: return LeaveConfiguration(wizard);
    case kSkillsPage: return StartInstallation(wizard);
    default:
        if (!WorkerRunning(wizard)) DestroyWindow(wizard.window);
    }
}

void OnCancel(Wizard& wizard)
{
    if (WorkerRunning(wizard))
        wizard.job.cancelRequested.store(true);
    else
        DestroyWindow(wizard.window);
}

void AskToLaunch(const Wizard& wizard)
{
    const HWND window = wizard.window;
    const int answer = MessageBoxW(window,
                                   L"安装已完成！是否立即启动 Quillmere？\n\n启动后请点击「启动 Gateway」按钮开始使用。",
                                   L"安装完成", MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        const std::wstring& installPath = wizard.settings.installPath;
        const std::wstring launcher = LauncherPath(installPath);
        // Values up to 32 are failures; below that they are the system's own error codes.
        const auto started = reinterpret_cast<INT_PTR>(
            ShellExecuteW(nullptr, L"open", launcher.c_str(), nullptr, installPath.c_str(), SW_SHOWNORMAL));
        if (started <= 32) {
            const std::wstring text = L"无法启动 Quillmere: " + SystemErrorText(static_cast<uint32_t>(started)) +
                                      L"\n\n" + launcher;
            MessageBoxW(window, text.c_str(), L"Quillmere Setup", MB_OK | MB_ICONERROR);
        }
        DestroyWindow(window);
        return;
    }
    MessageBoxW(window,
                L"您可以稍后双击桌面上的 Quillmere 快捷方式启动，\n启动后点击「启动 Gateway」按钮即可开始使用。",
                L"提示", MB_OK | MB_ICONINFORMATION);
}

}  // namespace

LRESULT HandleWizardCommand(Wizard& wizard, int controlId)
{
    switch (controlId) {
    case IDC_NEXT: OnNext(wizard); break;
    case IDC_CANCEL:
    case IDCANCEL:  // Esc, from the dialog manager
        OnCancel(wizard);
        break;
    case IDC_BROWSE: Browse(wizard); break;
    case IDC_SELECT_ALL: TickSkills(wizard, true); break;
    case IDC_SELECT_NONE: TickSkills(wizard, false); break;
    default: break;
    }
    return 0;
}

LRESULT HandleWizardNotify(const NMHDR* header)
{
    if (header->idFrom != IDC_CONSOLE_LINK || (header->code != NM_CLICK && header->code != NM_RETURN)) return 0;
    const auto* link = reinterpret_cast<const NMLINK*>(header);
    if (link->item.szUrl[0]) ShellExecuteW(nullptr, L"open", link->item.szUrl, nullptr, nullptr, SW_SHOWNORMAL);
    return 0;
}

// Only a successful run offers to start the product; after a failure or a cancellation
// the status line and the log already say what happened.
void HandleInstallDone(Wizard& wizard, bool succeeded)
{
    wizard.workerReported = true;
    EnableWindow(GetDlgItem(wizard.window, IDC_NEXT), TRUE);
    SetButtons(wizard.window, L"完成", L"关闭");
    if (wizard.closeWhenWorkerEnds) {
        DestroyWindow(wizard.window);
        return;
    }
    if (succeeded) AskToLaunch(wizard);
}

// Closing by the title bar while the worker runs cancels it, and the window goes as soon
// as the worker has ended, so its job is never torn down under it.
void HandleCloseRequest(Wizard& wizard)
{
    if (!WorkerRunning(wizard)) {
        DestroyWindow(wizard.window);
        return;
    }
    wizard.job.cancelRequested.store(true);
    if (!wizard.closeWhenWorkerEnds) wizard.closeRequestedAt = GetTickCount();
    wizard.closeWhenWorkerEnds = true;
    SetTimer(wizard.window, kCloseTimer, kCloseTimerMs, nullptr);
}

namespace {

// The late cancellation exits post no done message, so the end is also watched for here; past the
// deadline the window goes anyway and the process takes the worker with it.
void HandleCloseTimer(Wizard& wizard)
{
    const bool overdue = GetTickCount() - wizard.closeRequestedAt >= kCloseDeadlineMs;
    if (wizard.closeWhenWorkerEnds && (!WorkerRunning(wizard) || overdue)) {
        KillTimer(wizard.window, kCloseTimer);
        DestroyWindow(wizard.window);
    }
}

// A done message that could not be posted (a full queue) must not leave the page without its end:
// once the thread is gone and no done message waits in the queue, the job's own record says how it
// ended. Posted messages are taken before timer messages, so one that made it is handled first.
void HandleWorkerWatchTimer(Wizard& wizard)
{
    if (!wizard.workerReported && WaitForSingleObject(wizard.worker.get(), 0) == WAIT_TIMEOUT) return;
    KillTimer(wizard.window, kWorkerWatchTimer);
    if (wizard.workerReported) return;
    MSG pending = {};
    if (PeekMessageW(&pending, wizard.window, WM_INSTALL_DONE, WM_INSTALL_DONE, PM_NOREMOVE)) return;
    if (const wchar_t* status = wizard.job.finalStatus.load())
        SetDlgItemTextW(wizard.pages[kProgressPage], IDC_STATUS, status);
    if (wizard.job.end.load() != InstallEnd::CancelledQuietly)
        HandleInstallDone(wizard, wizard.job.end.load() == InstallEnd::Succeeded);
}

}  // namespace

void HandleWizardTimer(Wizard& wizard, UINT_PTR timer)
{
    if (timer == kCloseTimer) HandleCloseTimer(wizard);
    if (timer == kWorkerWatchTimer) HandleWorkerWatchTimer(wizard);
}
