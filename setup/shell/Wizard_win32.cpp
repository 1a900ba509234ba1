#include "Wizard_win32.h"

#include "ControlIds.h"
#include "Messages.h"
#include "Settings.h"
#include "Text.h"
#include "Ui_win32.h"
#include "WizardTexts.h"
#include "manifest/Manifest.h"
#include "net/Progress.h"

int CurrentPage = 0;
HWND DisclaimerPage = nullptr;
HWND ConfigPage = nullptr;
HWND SkillsPage = nullptr;
HWND ProgressPage = nullptr;

namespace {

constexpr wchar_t kWindowClass[] = L"QuillmereSetup";
constexpr int kWindowWidth = 620;
constexpr int kWindowHeight = 660;
constexpr int kTopBand = 40;
constexpr int kBottomBand = 50;
constexpr DWORD kDisclaimerEditStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

int ClientWidth = 0;
int ClientHeight = 0;

int PageHeight()
{
    return ClientHeight - (kTopBand + kBottomBand);
}

HFONT FontOrNormal(HFONT font)
{
    return font ? font : NormalFont;
}

HWND CreateControl(HWND parent, DWORD exStyle, const wchar_t* className, const std::wstring& text, DWORD style, int x,
                   int y, int width, int height, int id, HFONT font)
{
    HWND control = CreateWindowExW(exStyle, className, text.c_str(), style, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), AppInstance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

void CreateLabel(HWND parent, const wchar_t* text, int x, int y, int width, int height, HFONT font)
{
    CreateControl(parent, 0, L"STATIC", text, WS_CHILD | WS_VISIBLE, x, y, width, height, 0, font);
}

void CreateTitle(HWND parent, const wchar_t* text)
{
    CreateLabel(parent, text, 20, 10, 400, 26, FontOrNormal(TitleFont));
}

void CreateSectionLabel(HWND parent, const wchar_t* text, int y)
{
    CreateLabel(parent, text, 20, y, 400, 20, FontOrNormal(BoldFont));
}

HWND CreatePageContainer(HWND window, bool visible, bool forwardNotifications)
{
    HWND page = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | (visible ? WS_VISIBLE : 0), 0, kTopBand, ClientWidth,
                                PageHeight(), window, nullptr, AppInstance, nullptr);
    if (forwardNotifications) SetWindowSubclass(page, PageSubclassProc, 0, 0);
    return page;
}

HWND CreateButton(HWND parent, int id, const wchar_t* text, int x, int y, int width, int height, DWORD extraStyle = 0)
{
    return CreateControl(parent, 0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | extraStyle, x, y, width,
                         height, id, NormalFont);
}

void BuildDisclaimerPage(HWND window)
{
    DisclaimerPage = CreatePageContainer(window, true, true);
    CreateTitle(DisclaimerPage, L"软件使用免责声明");
    CreateControl(DisclaimerPage, WS_EX_CLIENTEDGE, L"EDIT", DisclaimerText(), kDisclaimerEditStyle, 20, 46,
                  ClientWidth - 40, PageHeight() - 96, IDC_DISCLAIMER, NormalFont);
    CreateButton(DisclaimerPage, IDC_ACCEPT, L"我已阅读并同意以上免责声明", 20, PageHeight() - 40, 300, 22,
                 BS_AUTOCHECKBOX);
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

}  // namespace

LRESULT CALLBACK PageSubclassProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    // Controls report to their parent; the buttons and link live on the pages, the logic on the window.
    if (message == WM_COMMAND || message == WM_NOTIFY) {
        SendMessageW(GetParent(page), message, wParam, lParam);
        return 0;
    }
    return DefSubclassProc(page, message, wParam, lParam);
}

HWND CreateEditField(HWND parent, int id, const std::wstring& text, int y, int width, DWORD extraStyle)
{
    return CreateControl(parent, WS_EX_CLIENTEDGE, L"EDIT", text,
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | extraStyle, 20, y, width, 24, id,
                         NormalFont);
}

void BuildConfigPage(HWND window)
{
    ConfigPage = CreatePageContainer(window, true, true);
    HWND page = ConfigPage;
    const int w = ClientWidth;
    CreateTitle(page, L"Quillmere 安装配置");
    CreateControl(page, 0, L"SysLink", ConsoleLinkMarkup(), WS_CHILD | WS_VISIBLE, 20, 40, w - 40, 58,
                  IDC_CONSOLE_LINK, NormalFont);
    CreateLabel(page, L"安装目录:", 20, 104, 100, 20, FontOrNormal(BoldFont));
    CreateEditField(page, IDC_INSTALL_DIR, Settings.installPath, 126, w - 140, 0);
    CreateButton(page, IDC_BROWSE, L"浏览...", w - 115, 126, 75, 26);

    CreateSectionLabel(page, L"── 主模型配置 ──", 164);
    CreateLabel(page, L"API 选项:", 20, 190, 80, 20, NormalFont);
    HWND provider = CreateControl(page, 0, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                                  100, 188, 200, 200, IDC_PROVIDER, NormalFont);
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"阿里百炼"));
    SendMessageW(provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Coding Plan"));
    SendMessageW(provider, CB_SETCURSEL, Settings.apiProvider, 0);
    CreateLabel(page, L"API Key (必填):", 20, 220, 120, 20, NormalFont);
    CreateEditField(page, IDC_API_KEY, Settings.apiKey, 242, w - 60, 0);
    CreateLabel(page, L"模型名称:", 20, 274, 120, 20, NormalFont);
    CreateEditField(page, IDC_MODEL, Settings.model, 296, 300, 0);

    CreateSectionLabel(page, L"── 阿里百炼多模态 API ──", 334);
    CreateLabel(page, L"API Key (可选, 用于文档/图像分析):", 20, 360, 280, 20, NormalFont);
    CreateEditField(page, IDC_DASHSCOPE_KEY, Settings.dashscopeKey, 382, w - 60, 0);

    CreateSectionLabel(page, L"── Gateway 端口 ──", 420);
    CreateLabel(page, L"端口号:", 20, 446, 60, 20, NormalFont);
    CreateEditField(page, IDC_PORT, Settings.port, 468, 100, ES_NUMBER);
}

void BuildSkillsPage(HWND window)
{
    SkillsPage = CreatePageContainer(window, false, true);
    CreateTitle(SkillsPage, L"选择要安装的 Skills");
    CreateButton(SkillsPage, IDC_SELECT_ALL, L"全选", 20, 42, 60, 26);
    CreateButton(SkillsPage, IDC_SELECT_NONE, L"全不选", 90, 42, 60, 26);
    HWND list = CreateControl(SkillsPage, WS_EX_CLIENTEDGE, L"SysListView32", L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL, 20, 78, ClientWidth - 40,
                              ClientHeight - 178, IDC_SKILL_LIST, NormalFont);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    AddListColumn(list, 0, L"技能名称", 130);
    AddListColumn(list, 1, L"说明", 300);
    AddListColumn(list, 2, L"大小", 80);
    for (size_t i = 0; i < Manifest.skills.size(); ++i) AddSkillRow(list, static_cast<int>(i), Manifest.skills[i]);
}

void BuildProgressPage(HWND window)
{
    ProgressPage = CreatePageContainer(window, false, false);
    const int w = ClientWidth;
    CreateTitle(ProgressPage, L"安装进度");
    CreateControl(ProgressPage, 0, L"STATIC", L"准备安装...", WS_CHILD | WS_VISIBLE, 20, 46, w - 40, 22, IDC_STATUS,
                  FontOrNormal(BoldFont));
    CreateControl(ProgressPage, 0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 20, 74, w - 40, 18, IDC_DETAIL, NormalFont);
    HWND bar = CreateControl(ProgressPage, 0, L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 20, 96,
                             w - 40, 22, IDC_PROGRESS, NormalFont);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    CreateControl(ProgressPage, WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_HASSTRINGS | LBS_NOSEL, 20, 128, w - 40, ClientHeight - 228,
                  IDC_LOG, NormalFont);
}

void ShowPage(int page)
{
    const HWND pages[] = {DisclaimerPage, ConfigPage, SkillsPage, ProgressPage};
    for (int i = 0; i < 4; ++i) ShowWindow(pages[i], i == page ? SW_SHOW : SW_HIDE);
    CurrentPage = page;
}

namespace {

void OnCreate(HWND window)
{
    MainWindow = window;
    RECT client = {};
    GetClientRect(window, &client);
    ClientWidth = client.right - client.left;
    ClientHeight = client.bottom - client.top;
    CreateButton(window, IDC_NEXT, L"下一步 >", ClientWidth - 220, ClientHeight - 42, 100, 32);
    CreateButton(window, IDC_CANCEL, L"取消", ClientWidth - 110, ClientHeight - 42, 100, 32);
    BuildDisclaimerPage(window);
    BuildConfigPage(window);
    BuildSkillsPage(window);
    BuildProgressPage(window);
    ShowPage(0);
}

void SetProgressText(int controlId, std::intptr_t lParam)
{
    const auto text = TakePostedString(lParam);
    if (HWND control = GetDlgItem(ProgressPage, controlId)) SetWindowTextW(control, text->c_str());
}

// Every line is kept and the newest scrolled into view.
void AppendLogLine(std::intptr_t lParam)
{
    const auto text = TakePostedString(lParam);
    HWND log = GetDlgItem(ProgressPage, IDC_LOG);
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

}  // namespace

LRESULT CALLBACK WizardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
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
        return HandleWizardCommand(window, LOWORD(wParam));
    case WM_NOTIFY:
        return HandleWizardNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_CLOSE:
        HandleCloseRequest(window);
        return 0;
    case WM_TIMER:
        HandleCloseTimer(window);
        return 0;
    case WM_INSTALL_STATUS:
        SetProgressText(IDC_STATUS, lParam);
        return 0;
    case WM_INSTALL_DETAIL:
        SetProgressText(IDC_DETAIL, lParam);
        return 0;
    case WM_INSTALL_LOG:
        AppendLogLine(lParam);
        return 0;
    case WM_INSTALL_PROGRESS:
        SendMessageW(GetDlgItem(ProgressPage, IDC_PROGRESS), PBM_SETPOS, wParam, 0);
        return 0;
    case WM_INSTALL_DONE:
        HandleInstallDone(window, wParam != 0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int RunWizard(int showCommand)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WizardWndProc;
    windowClass.hInstance = AppInstance;
    windowClass.hIcon = LoadIconW(AppInstance, MAKEINTRESOURCEW(10001));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(AppInstance, MAKEINTRESOURCEW(10001), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);

    const int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
    CreateWindowExW(0, kWindowClass, L"Quillmere 安装程序 v1.0", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                    x, y, kWindowWidth, kWindowHeight, nullptr, nullptr, AppInstance, nullptr);
    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
