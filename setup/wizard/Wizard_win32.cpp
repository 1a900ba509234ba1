#include "Wizard_win32.h"

#include <optional>

#include "ControlIds.h"
#include "Navigation_win32.h"
#include "WindowEvents_win32.h"
#include "WizardTexts.h"
#include "base/Text.h"
#include "install/InstallPlan.h"
#include "net/Http.h"
#include "net/Progress.h"
#include "resources/ResourceIds.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QuillmereSetup";
// Sizes and positions are in 96-DPI units and scaled to the window's DPI.
constexpr int kWindowWidth = 620;
constexpr int kWindowHeight = 660;
constexpr int kTopBand = 40;
constexpr int kBottomBand = 50;
constexpr int kSkillColumnWidths[] = {130, 300, 80};
constexpr DWORD kDisclaimerEditStyle =
    WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
// What the page builders share: the wizard and its client area's size in 96-DPI units.
struct PageBuilder {
    Wizard& wizard;
    int clientWidth;
    int clientHeight;

    int PageHeight() const { return clientHeight - (kTopBand + kBottomBand); }
    ControlLayout& controls() const { return wizard.controls; }
};

void CreateTitle(const PageBuilder& builder, HWND page, const wchar_t* text)
{
    CreateLabel(builder.controls(), {.parent = page, .text = text, .rect = {20, 10, 400, 26}, .font = FontRole::Title});
}

void CreateSectionLabel(const PageBuilder& builder, HWND page, const wchar_t* text, int y)
{
    CreateLabel(builder.controls(), {.parent = page, .text = text, .rect = {20, y, 400, 20}, .font = FontRole::Bold});
}

// Texts, check boxes and the read-only disclaimer sit on the window's white. The disclaimer paints
// its own background, opaque, or scrolled text would smear over the old lines.
LRESULT ColourStatic(HDC dc, HWND control)
{
    if (GetDlgCtrlID(control) == IDC_DISCLAIMER) {
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, RGB(255, 255, 255));
    } else {
        SetBkMode(dc, TRANSPARENT);
    }
    return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

// Controls report to their parent, and ask it for their colours; the buttons and link live on the
// pages, the logic and the colours on the window. The progress page has no commands to forward.
LRESULT CALLBACK PageSubclassProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR forwardCommands)
{
    const bool colour = message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN;
    const bool command = message == WM_COMMAND || message == WM_NOTIFY;
    if (colour || (command && forwardCommands)) return SendMessageW(GetParent(page), message, wParam, lParam);
    return DefSubclassProc(page, message, wParam, lParam);
}

// The read-only disclaimer is a multi-line edit, which would keep Tab, Enter and Esc for itself;
// it has no use for them, so the dialog manager gets them.
LRESULT CALLBACK DisclaimerSubclassProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    const LRESULT result = DefSubclassProc(edit, message, wParam, lParam);
    return message == WM_GETDLGCODE ? result & ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB) : result;
}

// WS_EX_CONTROLPARENT lets Tab walk into the page's controls.
HWND CreatePageContainer(const PageBuilder& builder, bool visible, bool forwardCommands)
{
    HWND page = CreateControl(builder.controls(), {.parent = builder.wizard.window,
                                                   .style = WS_CHILD | (visible ? WS_VISIBLE : 0u),
                                                   .exStyle = WS_EX_CONTROLPARENT,
                                                   .rect = {0, kTopBand, builder.clientWidth, builder.PageHeight()},
                                                   .font = FontRole::None});
    SetWindowSubclass(page, PageSubclassProc, 0, forwardCommands);
    return page;
}

HWND BuildDisclaimerPage(const PageBuilder& builder)
{
    ControlLayout& controls = builder.controls();
    HWND page = CreatePageContainer(builder, true, true);
    CreateTitle(builder, page, L"软件使用免责声明");
    HWND text = CreateControl(controls, {.parent = page,
                                         .className = L"EDIT",
                                         .text = DisclaimerText(),
                                         .style = kDisclaimerEditStyle,
                                         .exStyle = WS_EX_CLIENTEDGE,
                                         .rect = {20, 46, builder.clientWidth - 40, builder.PageHeight() - 96},
                                         .id = IDC_DISCLAIMER});
    SetWindowSubclass(text, DisclaimerSubclassProc, 0, 0);
    CreateButton(controls, {.parent = page,
                            .text = L"我已阅读并同意以上免责声明",
                            .style = kVisibleChild | BS_AUTOCHECKBOX,
                            .rect = {20, builder.PageHeight() - 40, 300, 22},
                            .id = IDC_ACCEPT});
    return page;
}

HWND CreateProviderList(ControlLayout& controls, HWND page, int apiProvider)
{
    HWND provider = CreateControl(controls, {.parent = page,
                                             .className = L"COMBOBOX",
                                             .style = kVisibleChild | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                                             .rect = {100, 188, 200, 200},
                                             .id = IDC_PROVIDER});
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"阿里百炼"));
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Coding Plan"));
    SendMessageW(provider, CB_SETCURSEL, apiProvider, 0);
    return provider;
}

HWND BuildConfigPage(const PageBuilder& builder, const InstallerSettings& settings)
{
    ControlLayout& c = builder.controls();
    HWND page = CreatePageContainer(builder, true, true);
    const int w = builder.clientWidth;
    CreateTitle(builder, page, L"Quillmere 安装配置");
    CreateControl(c, {.parent = page, .className = L"SysLink", .text = ConsoleLinkMarkup(),
                      .style = kVisibleChild | WS_TABSTOP, .rect = {20, 40, w - 40, 58}, .id = IDC_CONSOLE_LINK});
    CreateLabel(c, {.parent = page, .text = L"安装目录:", .rect = {20, 104, 100, 20}, .font = FontRole::Bold});
    CreateEditField(c, {.parent = page, .text = settings.installPath, .rect = {20, 126, w - 140, 24}, .id = IDC_INSTALL_DIR});
    CreateButton(c, {.parent = page, .text = L"浏览...", .rect = {w - 115, 126, 75, 26}, .id = IDC_BROWSE});

    CreateSectionLabel(builder, page, L"── 主模型配置 ──", 164);
    CreateLabel(c, {.parent = page, .text = L"API 选项:", .rect = {20, 190, 80, 20}});
    CreateProviderList(c, page, settings.apiProvider);
    CreateLabel(c, {.parent = page, .text = L"API Key (必填):", .rect = {20, 220, 120, 20}});
    CreateEditField(c, {.parent = page, .text = settings.apiKey, .rect = {20, 242, w - 60, 24}, .id = IDC_API_KEY});
    CreateLabel(c, {.parent = page, .text = L"模型名称:", .rect = {20, 274, 120, 20}});
    CreateEditField(c, {.parent = page, .text = settings.model, .rect = {20, 296, 300, 24}, .id = IDC_MODEL});

    CreateSectionLabel(builder, page, L"── 阿里百炼多模态 API ──", 334);
    CreateLabel(c, {.parent = page, .text = L"API Key (可选, 用于文档/图像分析):", .rect = {20, 360, 280, 20}});
    CreateEditField(c, {.parent = page, .text = settings.dashscopeKey, .rect = {20, 382, w - 60, 24}, .id = IDC_DASHSCOPE_KEY});

    CreateSectionLabel(builder, page, L"── Gateway 端口 ──", 420);
    CreateLabel(c, {.parent = page, .text = L"端口号:", .rect = {20, 446, 60, 20}});
    CreateEditField(c, {.parent = page, .text = settings.port, .style = kVisibleChild | ES_NUMBER,
                        .rect = {20, 468, 100, 24}, .id = IDC_PORT});
    return page;
}

void AddListColumn(HWND list, int index, const wchar_t* title, int width)
{
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(title);
    column.cx = width;
    SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

void SetListCell(HWND list, int row, int column, const std::wstring& text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

void AddSkillRow(HWND list, int row, const ManifestSkill& skill)
{
    const std::wstring name = SkillDisplayName(skill);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(name.c_str());
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    SetListCell(list, row, 1, Utf8ToWide(skill.desc));
    SetListCell(list, row, 2, DeclaredSizeText(skill.size));
    ListView_SetCheckState(list, row, skill.selected);
}

HWND BuildSkillsPage(const PageBuilder& builder, const ReleaseManifest& manifest)
{
    ControlLayout& controls = builder.controls();
    HWND page = CreatePageContainer(builder, false, true);
    CreateTitle(builder, page, L"选择要安装的 Skills");
    CreateButton(controls, {.parent = page, .text = L"全选", .rect = {20, 42, 60, 26}, .id = IDC_SELECT_ALL});
    CreateButton(controls, {.parent = page, .text = L"全不选", .rect = {90, 42, 60, 26}, .id = IDC_SELECT_NONE});
    HWND list = CreateControl(controls, {.parent = page,
                                         .className = L"SysListView32",
                                         .style = kVisibleChild | WS_TABSTOP | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL,
                                         .exStyle = WS_EX_CLIENTEDGE,
                                         .rect = {20, 78, builder.clientWidth - 40, builder.clientHeight - 178},
                                         .id = IDC_SKILL_LIST});
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    const int dpi = controls.dpi;
    AddListColumn(list, 0, L"技能名称", Scale(kSkillColumnWidths[0], dpi));
    AddListColumn(list, 1, L"说明", Scale(kSkillColumnWidths[1], dpi));
    AddListColumn(list, 2, L"大小", Scale(kSkillColumnWidths[2], dpi));
    for (size_t i = 0; i < manifest.skills.size(); ++i) AddSkillRow(list, static_cast<int>(i), manifest.skills[i]);
    return page;
}

HWND BuildProgressPage(const PageBuilder& builder)
{
    ControlLayout& controls = builder.controls();
    HWND page = CreatePageContainer(builder, false, false);
    const int w = builder.clientWidth;
    CreateTitle(builder, page, L"安装进度");
    CreateLabel(controls, {.parent = page, .text = L"准备安装...", .rect = {20, 46, w - 40, 22}, .id = IDC_STATUS,
                           .font = FontRole::Bold});
    CreateLabel(controls, {.parent = page, .rect = {20, 74, w - 40, 18}, .id = IDC_DETAIL});
    HWND bar = CreateControl(controls, {.parent = page, .className = L"msctls_progress32",
                                        .style = kVisibleChild | PBS_SMOOTH, .rect = {20, 96, w - 40, 22},
                                        .id = IDC_PROGRESS});
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    CreateControl(controls, {.parent = page,
                             .className = L"LISTBOX",
                             .style = kVisibleChild | WS_VSCROLL | LBS_HASSTRINGS | LBS_NOSEL,
                             .exStyle = WS_EX_CLIENTEDGE,
                             .rect = {20, 128, w - 40, builder.clientHeight - 228},
                             .id = IDC_LOG});
    return page;
}

// The outer size is scaled as a whole; the pages are laid out in the client area that leaves,
// measured in 96-DPI units.
void SizeWindowForDpi(HWND window, int dpi)
{
    SetWindowPos(window, nullptr, 0, 0, Scale(kWindowWidth, dpi), Scale(kWindowHeight, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CreateWizardButtons(const PageBuilder& builder)
{
    const int top = builder.clientHeight - 42;
    const int w = builder.clientWidth;
    CreateButton(builder.controls(), {.parent = builder.wizard.window, .text = L"下一步 >",
                                      .style = kVisibleChild | BS_DEFPUSHBUTTON, .rect = {w - 220, top, 100, 32},
                                      .id = IDC_NEXT});
    CreateButton(builder.controls(),
                 {.parent = builder.wizard.window, .text = L"取消", .rect = {w - 110, top, 100, 32}, .id = IDC_CANCEL});
}

void OnCreate(Wizard& wizard, HWND window)
{
    wizard.window = window;
    ApplyLayoutDpi(wizard.controls, WindowDpi(window));
    const int dpi = wizard.controls.dpi;
    RECT outer = {};
    GetWindowRect(window, &outer);
    if (outer.right - outer.left != Scale(kWindowWidth, dpi)) SizeWindowForDpi(window, dpi);
    const ControlRect client = ClientArea96(window, dpi);
    const PageBuilder builder{wizard, client.width, client.height};
    CreateWizardButtons(builder);
    wizard.pages[kDisclaimerPage] = BuildDisclaimerPage(builder);
    wizard.pages[kConfigPage] = BuildConfigPage(builder, wizard.settings);
    wizard.pages[kSkillsPage] = BuildSkillsPage(builder, wizard.manifest);
    wizard.pages[kProgressPage] = BuildProgressPage(builder);
    ShowPage(wizard, kDisclaimerPage);
}

// The list's columns are no controls of their own: their widths are scaled here.
void ApplyDpi(Wizard& wizard, int dpi)
{
    ApplyLayoutDpi(wizard.controls, dpi);
    HWND list = GetDlgItem(wizard.pages[kSkillsPage], IDC_SKILL_LIST);
    for (int column = 0; column < 3; ++column)
        SendMessageW(list, LVM_SETCOLUMNWIDTH, column, Scale(kSkillColumnWidths[column], dpi));
}

void OnDpiChanged(Wizard& wizard, WPARAM wParam, LPARAM lParam)
{
    ApplyDpi(wizard, HIWORD(wParam));
    TakeSuggestedRect(wizard.window, lParam);
}

HWND FirstInput(const Wizard& wizard, int page)
{
    switch (page) {
    case kDisclaimerPage: return GetDlgItem(wizard.pages[page], IDC_ACCEPT);
    case kConfigPage: return GetDlgItem(wizard.pages[page], IDC_INSTALL_DIR);
    case kSkillsPage: return GetDlgItem(wizard.pages[page], IDC_SKILL_LIST);
    default: return GetDlgItem(wizard.window, IDC_CANCEL);
    }
}

// As the dialog manager does, a field that takes the focus has its text selected, so typing replaces it.
void FocusControl(HWND control)
{
    SetFocus(control);
    if (SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(control, EM_SETSEL, 0, -1);
}

// Activation puts the focus on the window itself; the control that had it gets it back, as in a dialog.
void OnActivate(Wizard& wizard, WPARAM wParam)
{
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(wizard.window, focus)) wizard.focus = focus;
        return;
    }
    HWND target = wizard.focus;
    if (!target || !IsWindowVisible(target) || !IsWindowEnabled(target)) target = FirstInput(wizard, wizard.currentPage);
    SetFocus(target);
}

void SetProgressText(const Wizard& wizard, int controlId, std::intptr_t lParam)
{
    const auto text = TakePostedString(lParam);
    if (HWND control = GetDlgItem(wizard.pages[kProgressPage], controlId)) SetWindowTextW(control, text->c_str());
}

// Every line is kept and the newest scrolled into view.
void AppendLogLine(const Wizard& wizard, std::intptr_t lParam)
{
    const auto text = TakePostedString(lParam);
    HWND log = GetDlgItem(wizard.pages[kProgressPage], IDC_LOG);
    if (!log) return;
    SendMessageW(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text->c_str()));
    const LRESULT count = SendMessageW(log, LB_GETCOUNT, 0, 0);
    SendMessageW(log, LB_SETTOPINDEX, count - 1, 0);
}

// The worker's messages; nothing for any other.
std::optional<LRESULT> HandleWorkerMessage(Wizard& wizard, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INSTALL_ASK_RETRY:
        return MessageBoxW(window, reinterpret_cast<const std::wstring*>(lParam)->c_str(), L"Quillmere Setup",
                           MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
    case WM_INSTALL_STATUS:
        SetProgressText(wizard, IDC_STATUS, lParam);
        return 0;
    case WM_INSTALL_DETAIL:
        SetProgressText(wizard, IDC_DETAIL, lParam);
        return 0;
    case WM_INSTALL_LOG:
        AppendLogLine(wizard, lParam);
        return 0;
    case WM_INSTALL_PROGRESS:
        SendMessageW(GetDlgItem(wizard.pages[kProgressPage], IDC_PROGRESS), PBM_SETPOS, wParam, 0);
        return 0;
    case WM_INSTALL_DONE:
        HandleInstallDone(wizard, wParam != 0);
        return 0;
    default:
        return std::nullopt;
    }
}

LRESULT HandleWizardMessage(Wizard& wizard, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(wizard, window);
        return 0;
    case WM_DESTROY:
        ReleaseLayoutFonts(wizard.controls);
        PostQuitMessage(0);
        return 0;
    case WM_ACTIVATE:
        OnActivate(wizard, wParam);
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(wizard, wParam, lParam);
        return 0;
    case DM_GETDEFID:
        // Enter presses the page's forward button; the dialog manager asks for it here.
        return MAKELRESULT(IDC_NEXT, DC_HASDEFID);
    case DM_SETDEFID:
        return TRUE;
    case WM_ERASEBKGND:
        return PaintWhite(window, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return ColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
        return HandleWizardCommand(wizard, LOWORD(wParam));
    case WM_NOTIFY:
        return HandleWizardNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_CLOSE:
        HandleCloseRequest(wizard);
        return 0;
    case WM_TIMER:
        HandleWizardTimer(wizard, wParam);
        return 0;
    default:
        break;
    }
    if (const std::optional<LRESULT> handled = HandleWorkerMessage(wizard, window, message, wParam, lParam))
        return *handled;
    return DefWindowProcW(window, message, wParam, lParam);
}

// The wizard rides in the window's user data from its first message on.
LRESULT CALLBACK WizardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Wizard* wizard = WindowStateOf<Wizard>(window, message, lParam);
    if (!wizard) return DefWindowProcW(window, message, wParam, lParam);
    return HandleWizardMessage(*wizard, window, message, wParam, lParam);
}

bool RegisterWizardClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WizardWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SETUP));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
}

// An installer must never sit without a window, where nobody could close it.
int ReportNoWindow()
{
    MessageBoxW(nullptr, L"无法创建安装程序窗口，安装程序将退出。", L"Quillmere Setup", MB_OK | MB_ICONERROR);
    return 1;
}

}  // namespace

// The other installer may still be fetching its manifest: its window is awaited as long as that
// fetch may take, and brought forward. Should it end without one, this one owns the lock and goes on.
bool HandOverToRunningInstaller(HANDLE instanceLock)
{
    constexpr ULONGLONG kGrace = 5000;
    const ULONGLONG deadline = GetTickCount64() + FetchLimits{}.deadlineMs + kGrace;
    while (GetTickCount64() < deadline) {
        if (HWND running = FindWindowW(kWindowClass, nullptr)) {
            if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
            SetForegroundWindow(running);
            return true;
        }
        const DWORD waited = WaitForSingleObject(instanceLock, 100);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return false;
    }
    MessageBoxW(nullptr, L"另一个 Quillmere Setup 正在运行，请先完成或关闭它。", L"Quillmere Setup",
                MB_OK | MB_ICONINFORMATION);
    return true;
}

bool WorkerRunning(const Wizard& wizard)
{
    return wizard.worker && !wizard.workerReported && WaitForSingleObject(wizard.worker.get(), 0) == WAIT_TIMEOUT;
}

void ShowPage(Wizard& wizard, int page)
{
    for (int i = 0; i < kPageCount; ++i) ShowWindow(wizard.pages[i], i == page ? SW_SHOW : SW_HIDE);
    wizard.currentPage = page;
    wizard.focus = FirstInput(wizard, page);
    FocusControl(wizard.focus);
}

int RunWizard(Wizard& wizard, int showCommand)
{
    const OleApartment ole;
    if (!RegisterWizardClass(wizard.instance)) return ReportNoWindow();
    // The window's own DPI is known once it exists; until then the screen's is the best guess.
    const int dpi = ScreenDpi();
    const int width = Scale(kWindowWidth, dpi);
    const int height = Scale(kWindowHeight, dpi);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    const HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, L"Quillmere 安装程序 v1.0",
                                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height,
                                        nullptr, nullptr, wizard.instance, &wizard);
    if (!window) return ReportNoWindow();
    ShowWindow(wizard.window, showCommand);
    UpdateWindow(wizard.window);

    MSG message;
    // The dialog manager gives the window Tab, Enter and Esc as a dialog has them.
    while (GetMessageW(&message, nullptr, 0, 0)) {
        if (IsDialogMessageW(wizard.window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
