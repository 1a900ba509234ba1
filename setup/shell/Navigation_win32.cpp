#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <system_error>
#include <thread>

#include "ControlIds.h"
#include "Messages.h"
#include "Settings.h"
#include "Ui_win32.h"
#include "Wizard_win32.h"
#include "WizardTexts.h"
#include "install/Install.h"
#include "manifest/Manifest.h"

namespace {

constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCloseTimerMs = 200;

void Warn(HWND window, const wchar_t* text)
{
    MessageBoxW(window, text, L"提示", MB_OK | MB_ICONWARNING);
}

HWND PageControl(HWND page, int id)
{
    return GetDlgItem(page, id);
}

std::wstring ConfigText(int id)
{
    wchar_t buffer[2048] = {};
    GetDlgItemTextW(ConfigPage, id, buffer, 2048);
    return buffer;
}

void SetButtons(HWND window, const wchar_t* next, const wchar_t* cancel)
{
    SetDlgItemTextW(window, IDC_NEXT, next);
    if (cancel) SetDlgItemTextW(window, IDC_CANCEL, cancel);
}

void LeaveDisclaimer(HWND window)
{
    if (SendMessageW(PageControl(DisclaimerPage, IDC_ACCEPT), BM_GETCHECK, 0, 0) != BST_CHECKED) {
        Warn(window, L"请阅读并同意免责声明后再继续安装。");
        return;
    }
    ShowPage(1);
    SetButtons(window, L"下一步 >", nullptr);
}

// The fields reach the settings record before, and whatever the outcome of, the checks.
void LeaveConfiguration(HWND window)
{
    Settings.installPath = ConfigText(IDC_INSTALL_DIR);
    Settings.apiKey = ConfigText(IDC_API_KEY);
    Settings.model = ConfigText(IDC_MODEL);
    Settings.dashscopeKey = ConfigText(IDC_DASHSCOPE_KEY);
    Settings.port = ConfigText(IDC_PORT);
    const LRESULT provider = SendMessageW(PageControl(ConfigPage, IDC_PROVIDER), CB_GETCURSEL, 0, 0);
    Settings.apiProvider = provider == CB_ERR ? 0 : static_cast<int>(provider);

    if (Settings.apiKey.empty()) return Warn(window, L"请输入主模型 API Key！");
    if (Settings.installPath.empty()) return Warn(window, L"请选择安装目录！");
    if (!IsValidPort(Settings.port)) return Warn(window, L"请输入有效的端口号 (1-65535)！");
    ShowPage(2);
    SetButtons(window, L"开始安装", nullptr);
}

// Without a worker nothing will ever end the run, so the page says so and lets the user leave.
void ReportWorkerStartFailure(HWND window)
{
    InstallRunning.exchange(false);
    SetDlgItemTextW(ProgressPage, IDC_STATUS, L"安装失败");
    SendDlgItemMessageW(ProgressPage, IDC_LOG, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"[错误] 无法启动安装线程"));
    EnableWindow(GetDlgItem(window, IDC_NEXT), TRUE);
}

void StartInstallation(HWND window)
{
    HWND list = PageControl(SkillsPage, IDC_SKILL_LIST);
    for (size_t i = 0; i < Manifest.skills.size(); ++i) {
        const UINT state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK));
        Manifest.skills[i].selected = (state >> 12) != 1;
    }
    ShowPage(3);
    SetButtons(window, L"完成", L"关闭");
    EnableWindow(GetDlgItem(window, IDC_NEXT), FALSE);
    // Both flags are set before the thread exists: a cancel pressed in between is then neither
    // mistaken for a plain close nor wiped by the starting worker.
    CancelRequested.exchange(false);
    InstallRunning.exchange(true);
    try {
        std::thread(DoInstall).detach();
    } catch (const std::system_error&) {
        ReportWorkerStartFailure(window);
    }
}

void Browse(HWND window)
{
    BROWSEINFOW info = {};
    info.hwndOwner = window;
    info.lpszTitle = L"选择安装目录";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return;
    wchar_t path[MAX_PATH] = {};
    SHGetPathFromIDListW(chosen, path);
    CoTaskMemFree(chosen);
    SetDlgItemTextW(ConfigPage, IDC_INSTALL_DIR, AppendProductFolder(path).c_str());
}

void TickSkills(bool all)
{
    HWND list = PageControl(SkillsPage, IDC_SKILL_LIST);
    for (size_t i = 0; i < Manifest.skills.size(); ++i)
        ListView_SetCheckState(list, static_cast<int>(i), all || Manifest.skills[i].required);
}

void OnNext(HWND window)
{
    switch (CurrentPage) {
    case 0: return LeaveDisclaimer(window);
    case 1: return LeaveConfiguration(window);
    case 2: return StartInstallation(window);
    default:
        if (!InstallRunning.load()) DestroyWindow(window);
    }
}

void OnCancel(HWND window)
{
    if (InstallRunning.load())
        CancelRequested.exchange(true);
    else
        DestroyWindow(window);
}

void AskToLaunch(HWND window)
{
    const int answer = MessageBoxW(window,
                                   L"安装已完成！是否立即启动 Quillmere？\n\n启动后请点击「启动 Gateway」按钮开始使用。",
                                   L"安装完成", MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        const std::wstring launcher = Settings.installPath + L"\\launcher.exe";
        ShellExecuteW(nullptr, L"open", launcher.c_str(), nullptr, Settings.installPath.c_str(), SW_SHOWNORMAL);
        DestroyWindow(window);
        return;
    }
    MessageBoxW(window,
                L"您可以稍后双击桌面上的 Quillmere 快捷方式启动，\n启动后点击「启动 Gateway」按钮即可开始使用。",
                L"提示", MB_OK | MB_ICONINFORMATION);
}

bool CloseWhenWorkerEnds = false;

}  // namespace

LRESULT HandleWizardCommand(HWND window, int controlId)
{
    switch (controlId) {
    case IDC_NEXT: OnNext(window); break;
    case IDC_CANCEL: OnCancel(window); break;
    case IDC_BROWSE: Browse(window); break;
    case IDC_SELECT_ALL: TickSkills(true); break;
    case IDC_SELECT_NONE: TickSkills(false); break;
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
void HandleInstallDone(HWND window, bool succeeded)
{
    EnableWindow(GetDlgItem(window, IDC_NEXT), TRUE);
    SetButtons(window, L"完成", L"关闭");
    if (CloseWhenWorkerEnds) {
        DestroyWindow(window);
        return;
    }
    if (succeeded) AskToLaunch(window);
}

// Closing by the title bar while the worker runs cancels it, and the window goes as soon
// as the worker has ended, so the shared records are never torn down under it.
void HandleCloseRequest(HWND window)
{
    if (!InstallRunning.load()) {
        DestroyWindow(window);
        return;
    }
    CancelRequested.exchange(true);
    CloseWhenWorkerEnds = true;
    SetTimer(window, kCloseTimer, kCloseTimerMs, nullptr);
}

// The late cancellation exits post no done message, so the end is also watched for here.
void HandleCloseTimer(HWND window)
{
    if (CloseWhenWorkerEnds && !InstallRunning.load()) {
        KillTimer(window, kCloseTimer);
        DestroyWindow(window);
    }
}
