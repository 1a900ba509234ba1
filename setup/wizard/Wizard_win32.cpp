#include "Wizard_win32.h"

#include "ControlIds.h"
#include "WindowEvents_win32.h"
#include "WizardTexts.h"
#include "base/Text.h"
#include "net/Progress.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QuillmereSetup";
constexpr int kWindowWidth = 620;
constexpr int kWindowHeight = 660;
constexpr int kTopBand = 40;
constexpr int kBottomBand = 50;
constexpr DWORD kDisclaimerEditStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

// What the page builders share: the wizard's fonts and the client area's size.
struct PageBuilder {
    HWND window;
    const WizardFonts& fonts;
    int clientWidth;
    int clientHeight;

    int PageHeight() const { return clientHeight - (kTopBand + kBottomBand); }
    HFONT Normal() const { return fonts.normal; }
    HFONT Bold() const { return fonts.bold ? fonts.bold : fonts.normal; }
    HFONT Title() const { return fonts.title ? fonts.title : fonts.normal; }
};

HWND CreateControl(HWND parent, DWORD exStyle, const wchar_t* className, const std::wstring& text, DWORD style, int x,
                   int y, int width, int height, int id, HFONT font)
{
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    HWND control = CreateWindowExW(exStyle, className, text.c_str(), style, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

void CreateLabel(HWND parent, const wchar_t* text, int x, int y, int width, int height, HFONT font)
{
    CreateControl(parent, 0, L"STATIC", text, WS_CHILD | WS_VISIBLE, x, y, width, height, 0, font);
}

void CreateTitle(const PageBuilder& builder, HWND page, const wchar_t* text)
{
    CreateLabel(page, text, 20, 10, 400, 26, builder.Title());
}

void CreateSectionLabel(const PageBuilder& builder, HWND page, const wchar_t* text, int y)
{
    CreateLabel(page, text, 20, y, 400, 20, builder.Bold());
}

HWND CreateButton(HWND parent, HFONT font, int id, const wchar_t* text, int x, int y, int width, int height,
                  DWORD extraStyle = 0)
{
    return CreateControl(parent, 0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | extraStyle, x, y, width,
                         height, id, font);
}

HWND CreateEditField(const PageBuilder& builder, HWND page, int id, const std::wstring& text, int y, int width,
                     DWORD extraStyle)
{
    return CreateControl(page, WS_EX_CLIENTEDGE, L"EDIT", text,
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | extraStyle, 20, y, width, 24, id,
                         builder.Normal());
}

// Controls report to their parent; the buttons and link live on the pages, the logic on the window.
LRESULT CALLBACK PageSubclassProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    if (message == WM_COMMAND || message == WM_NOTIFY) {
        SendMessageW(GetParent(page), message, wParam, lParam);
        return 0;
    }
    return DefSubclassProc(page, message, wParam, lParam);
}

HWND CreatePageContainer(const PageBuilder& builder, bool visible, bool forwardNotifications)
{
    HWND page = CreateControl(builder.window, 0, L"STATIC", L"", WS_CHILD | (visible ? WS_VISIBLE : 0), 0, kTopBand,
                              builder.clientWidth, builder.PageHeight(), 0, nullptr);
    if (forwardNotifications) SetWindowSubclass(page, PageSubclassProc, 0, 0);
    return page;
}

HWND BuildDisclaimerPage(const PageBuilder& builder)
{
    HWND page = CreatePageContainer(builder, true, true);
    CreateTitle(builder, page, L"软件使用免责声明");
    CreateControl(page, WS_EX_CLIENTEDGE, L"EDIT", DisclaimerText(), kDisclaimerEditStyle, 20, 46,
                  builder.clientWidth - 40, builder.PageHeight() - 96, IDC_DISCLAIMER, builder.Normal());
    CreateButton(page, builder.Normal(), IDC_ACCEPT, L"我已阅读并同意以上免责声明", 20, builder.PageHeight() - 40,
                 300, 22, BS_AUTOCHECKBOX);
    return page;
}

HWND BuildConfigPage(const PageBuilder& builder, const InstallerSettings& settings)
{
    HWND page = CreatePageContainer(builder, true, true);
    const int w = builder.clientWidth;
    const HFONT normal = builder.Normal();
    CreateTitle(builder, page, L"Quillmere 安装配置");
    CreateControl(page, 0, L"SysLink", ConsoleLinkMarkup(), WS_CHILD | WS_VISIBLE, 20, 40, w - 40, 58,
                  IDC_CONSOLE_LINK, normal);
    CreateLabel(page, L"安装目录:", 20, 104, 100, 20, builder.Bold());
    CreateEditField(builder, page, IDC_INSTALL_DIR, settings.installPath, 126, w - 140, 0);
    CreateButton(page, normal, IDC_BROWSE, L"浏览...", w - 115, 126, 75, 26);

    CreateSectionLabel(builder, page, L"── 主模型配置 ──", 164);
    CreateLabel(page, L"API 选项:", 20, 190, 80, 20, normal);
    HWND provider = CreateControl(page, 0, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                                  100, 188, 200, 200, IDC_PROVIDER, normal);
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"阿里百炼"));
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Coding Plan"));
    SendMessageW(provider, CB_SETCURSEL, settings.apiProvider, 0);
    CreateLabel(page, L"API Key (必填):", 20, 220, 120, 20, normal);
    CreateEditField(builder, page, IDC_API_KEY, settings.apiKey, 242, w - 60, 0);
    CreateLabel(page, L"模型名称:", 20, 274, 120, 20, normal);
    CreateEditField(builder, page, IDC_MODEL, settings.model, 296, 300, 0);

    CreateSectionLabel(builder, page, L"── 阿里百炼多模态 API ──", 334);
    CreateLabel(page, L"API Key (可选, 用于文档/图像分析):", 20, 360, 280, 20, normal);
    CreateEditField(builder, page, IDC_DASHSCOPE_KEY, settings.dashscopeKey, 382, w - 60, 0);

    CreateSectionLabel(builder, page, L"── Gateway 端口 ──", 420);
    CreateLabel(page, L"端口号:", 20, 446, 60, 20, normal);
    CreateEditField(builder, page, IDC_PORT, settings.port, 468, 100, ES_NUMBER);
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
    const std::wstring name = Utf8ToWide(skill.name.empty() ? skill.id : skill.name);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(name.c_str());
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    SetListCell(list, row, 1, Utf8ToWide(skill.desc));
    SetListCell(list, row, 2, FormatSize(skill.size));
    ListView_SetCheckState(list, row, skill.selected);
}

HWND BuildSkillsPage(const PageBuilder& builder, const ReleaseManifest& manifest)
{
    HWND page = CreatePageContainer(builder, false, true);
    CreateTitle(builder, page, L"选择要安装的 Skills");
    CreateButton(page, builder.Normal(), IDC_SELECT_ALL, L"全选", 20, 42, 60, 26);
    CreateButton(page, builder.Normal(), IDC_SELECT_NONE, L"全不选", 90, 42, 60, 26);
    HWND list = CreateControl(page, WS_EX_CLIENTEDGE, L"SysListView32", L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL, 20, 78,
                              builder.clientWidth - 40, builder.clientHeight - 178, IDC_SKILL_LIST, builder.Normal());
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    AddListColumn(list, 0, L"技能名称", 130);
    AddListColumn(list, 1, L"说明", 300);
    AddListColumn(list, 2, L"大小", 80);
    for (size_t i = 0; i < manifest.skills.size(); ++i) AddSkillRow(list, static_cast<int>(i), manifest.skills[i]);
    return page;
}

HWND BuildProgressPage(const PageBuilder& builder)
{
    HWND page = CreatePageContainer(builder, false, false);
    const int w = builder.clientWidth;
    CreateTitle(builder, page, L"安装进度");
    CreateControl(page, 0, L"STATIC", L"准备安装...", WS_CHILD | WS_VISIBLE, 20, 46, w - 40, 22, IDC_STATUS,
                  builder.Bold());
    CreateControl(page, 0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 20, 74, w - 40, 18, IDC_DETAIL, builder.Normal());
    HWND bar = CreateControl(page, 0, L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 20, 96, w - 40,
                             22, IDC_PROGRESS, builder.Normal());
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    CreateControl(page, WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_HASSTRINGS | LBS_NOSEL, 20, 128, w - 40,
                  builder.clientHeight - 228, IDC_LOG, builder.Normal());
    return page;
}

void OnCreate(Wizard& wizard, HWND window)
{
    wizard.window = window;
    RECT client = {};
    GetClientRect(window, &client);
    const PageBuilder builder{window, wizard.fonts, client.right - client.left, client.bottom - client.top};
    const HFONT normal = builder.Normal();
    CreateButton(window, normal, IDC_NEXT, L"下一步 >", builder.clientWidth - 220, builder.clientHeight - 42, 100, 32);
    CreateButton(window, normal, IDC_CANCEL, L"取消", builder.clientWidth - 110, builder.clientHeight - 42, 100, 32);
    wizard.pages[kDisclaimerPage] = BuildDisclaimerPage(builder);
    wizard.pages[kConfigPage] = BuildConfigPage(builder, wizard.settings);
    wizard.pages[kSkillsPage] = BuildSkillsPage(builder, wizard.manifest);
    wizard.pages[kProgressPage] = BuildProgressPage(builder);
    ShowPage(wizard, kDisclaimerPage);
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

LRESULT PaintWhite(HWND window, HDC dc)
{
    RECT client = {};
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    return 1;
}

LRESULT HandleWizardMessage(Wizard& wizard, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(wizard, window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_ERASEBKGND:
        return PaintWhite(window, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND:
        return HandleWizardCommand(wizard, LOWORD(wParam));
    case WM_NOTIFY:
        return HandleWizardNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_CLOSE:
        HandleCloseRequest(wizard);
        return 0;
    case WM_TIMER:
        HandleCloseTimer(wizard);
        return 0;
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
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The wizard rides in the window's user data from its first message on.
LRESULT CALLBACK WizardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* wizard = reinterpret_cast<Wizard*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!wizard) return DefWindowProcW(window, message, wParam, lParam);
    return HandleWizardMessage(*wizard, window, message, wParam, lParam);
}

bool RegisterWizardClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WizardWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(10001));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(10001), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
}

// An installer that runs elevated must never sit without a window nobody can close.
int ReportNoWindow()
{
    MessageBoxW(nullptr, L"无法创建安装程序窗口，安装程序将退出。", L"Quillmere Setup", MB_OK | MB_ICONERROR);
    return 1;
}

}  // namespace

// The other installer may still be fetching its manifest, so its window is given a moment to appear.
void BringRunningWizardToFront()
{
    for (int waited = 0; waited < 3000; waited += 100) {
        if (HWND running = FindWindowW(kWindowClass, nullptr)) {
            if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
            SetForegroundWindow(running);
            return;
        }
        Sleep(100);
    }
}

void ShowPage(Wizard& wizard, int page)
{
    for (int i = 0; i < kPageCount; ++i) ShowWindow(wizard.pages[i], i == page ? SW_SHOW : SW_HIDE);
    wizard.currentPage = page;
}

int RunWizard(Wizard& wizard, int showCommand)
{
    if (!RegisterWizardClass(wizard.instance)) return ReportNoWindow();
    const int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
    const HWND window =
        CreateWindowExW(0, kWindowClass, L"Quillmere 安装程序 v1.0", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                        x, y, kWindowWidth, kWindowHeight, nullptr, nullptr, wizard.instance, &wizard);
    if (!window) return ReportNoWindow();
    ShowWindow(wizard.window, showCommand);
    UpdateWindow(wizard.window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
