// uninstall.exe: the window that removes Quillmere, with the wizard's look, DPI handling and keys.
// Started from the installation folder it copies itself to the temporary folder and runs from
// there, so that it can remove its own file and the folder; that copy is removed by the next run.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Uninstall.h"
#include "base/KnownFolders.h"
#include "base/Scoped_win32.h"
#include "install/Removal.h"
#include "wizard/ControlIds.h"
#include "wizard/Controls_win32.h"
#include "wizard/WindowEvents_win32.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kWindowClass[] = L"QuillmereUninstall";
constexpr wchar_t kTitle[] = L"Quillmere 卸载程序";
constexpr int kWindowWidth = 560;
constexpr int kWindowHeight = 500;
constexpr int IDC_REMOVE_STATE = 7001;
constexpr DWORD kWaitForFirstPhaseMs = 10000;
// After the worker's own messages: wParam the exit code, lParam how the removal ended.
constexpr UINT WM_UNINSTALL_ENDED = WM_APP + 20;

struct Uninstaller {
    HINSTANCE instance = nullptr;
    fs::path installDir;
    HWND window = nullptr;
    ControlLayout controls;
    InstallPlatform platform;
    std::thread worker;
    bool running = false;
    bool finished = false;
    int exitCode = 1;
};

void OnCreate(Uninstaller& u, HWND window)
{
    u.window = window;
    ApplyLayoutDpi(u.controls, WindowDpi(window));
    const int dpi = u.controls.dpi;
    const ControlRect client = ClientArea96(window, dpi);
    const int w = client.width - 40;
    const int h = client.height;
    ControlLayout& c = u.controls;
    CreateLabel(c, {.parent = window, .text = L"卸载 Quillmere", .rect = {20, 12, w, 28}, .font = FontRole::Title});
    CreateLabel(c, {.parent = window,
                    .text = L"将从此电脑删除 Quillmere 安装的程序文件、桌面快捷方式和“应用和功能”中的条目：\n" +
                            u.installDir.wstring(),
                    .style = kVisibleChild | SS_NOPREFIX,
                    .rect = {20, 50, w, 46}});
    CreateLabel(c, {.parent = window,
                    .text = L"您自己放入安装目录的文件会保留。Node.js 和 Playwright 浏览器引擎也会保留，其他程序可能也在使用它们。",
                    .rect = {20, 100, w, 40}});
    CreateButton(c, {.parent = window,
                     .text = L"同时删除配置和 API Key（%USERPROFILE%\\.harrowby）",
                     .style = kVisibleChild | BS_AUTOCHECKBOX,
                     .rect = {20, 146, w, 24},
                     .id = IDC_REMOVE_STATE});
    CreateLabel(c, {.parent = window,
                    .text = L"确定要卸载 Quillmere 吗？",
                    .style = kVisibleChild | SS_NOPREFIX,
                    .rect = {20, 180, w, 22},
                    .id = IDC_STATUS,
                    .font = FontRole::Bold});
    CreateControl(c, {.parent = window,
                      .className = L"LISTBOX",
                      .style = kVisibleChild | WS_VSCROLL | WS_HSCROLL | LBS_HASSTRINGS | LBS_NOSEL,
                      .exStyle = WS_EX_CLIENTEDGE,
                      .rect = {20, 208, w, h - 56 - 208},
                      .id = IDC_LOG});
    const int right = w + 20;
    CreateButton(c, {.parent = window, .text = L"卸载", .style = kVisibleChild | BS_DEFPUSHBUTTON,
                     .rect = {right - 200, h - 42, 100, 32}, .id = IDC_NEXT});
    CreateButton(c, {.parent = window, .text = L"取消", .rect = {right - 90, h - 42, 100, 32}, .id = IDC_CANCEL});
    SetFocus(GetDlgItem(window, IDC_REMOVE_STATE));
}

// The removal runs beside the window, which stays responsive while a file in use is tried again.
void StartRemoval(Uninstaller& u)
{
    const bool stateDirectory = SendMessageW(GetDlgItem(u.window, IDC_REMOVE_STATE), BM_GETCHECK, 0, 0) == BST_CHECKED;
    u.running = true;
    for (int id : {IDC_NEXT, IDC_CANCEL, IDC_REMOVE_STATE}) EnableWindow(GetDlgItem(u.window, id), FALSE);
    u.worker = std::thread([&u, stateDirectory, window = u.window] {
        const InstallEvents events = WindowEvents(window);
        const UninstallEnd end = Uninstall(u.installDir, stateDirectory, u.platform, events);
        PostMessageW(window, WM_UNINSTALL_ENDED, static_cast<WPARAM>(UninstallExitCode(end)), static_cast<LPARAM>(end));
    });
}

// A stop while Quillmere ran leaves everything in place, and the user may try again.
void OnRemovalEnded(Uninstaller& u, int exitCode, UninstallEnd end)
{
    if (u.worker.joinable()) u.worker.join();
    u.running = false;
    u.exitCode = exitCode;
    HWND cancel = GetDlgItem(u.window, IDC_CANCEL);
    EnableWindow(cancel, TRUE);
    if (end == UninstallEnd::Stopped) {
        for (int id : {IDC_NEXT, IDC_REMOVE_STATE}) EnableWindow(GetDlgItem(u.window, id), TRUE);
        SetFocus(GetDlgItem(u.window, IDC_NEXT));
        return;
    }
    u.finished = true;
    ShowWindow(GetDlgItem(u.window, IDC_NEXT), SW_HIDE);
    SetWindowTextW(cancel, L"完成");
    SendMessageW(u.window, DM_SETDEFID, IDC_CANCEL, 0);
    SendMessageW(cancel, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    SetFocus(cancel);
}

void AppendLine(HWND list, std::intptr_t lParam)
{
    const auto text = TakePostedString(lParam);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text->c_str()));
    SendMessageW(list, LB_SETTOPINDEX, SendMessageW(list, LB_GETCOUNT, 0, 0) - 1, 0);
}

// The removal's messages; nothing for any other.
std::optional<LRESULT> HandleRemovalMessage(Uninstaller& u, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INSTALL_ASK_RETRY:
        return MessageBoxW(window, reinterpret_cast<const std::wstring*>(lParam)->c_str(), kTitle,
                           MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
    case WM_INSTALL_STATUS:
        SetWindowTextW(GetDlgItem(window, IDC_STATUS), TakePostedString(lParam)->c_str());
        return 0;
    case WM_INSTALL_LOG:
        AppendLine(GetDlgItem(window, IDC_LOG), lParam);
        return 0;
    case WM_INSTALL_DETAIL:
        TakePostedString(lParam);
        return 0;
    case WM_UNINSTALL_ENDED:
        OnRemovalEnded(u, static_cast<int>(wParam), static_cast<UninstallEnd>(lParam));
        return 0;
    default:
        return std::nullopt;
    }
}

LRESULT HandleMessage(Uninstaller& u, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(u, window);
        return 0;
    case WM_DESTROY:
        ReleaseLayoutFonts(u.controls);
        PostQuitMessage(u.exitCode);
        return 0;
    case WM_DPICHANGED:
        ApplyLayoutDpi(u.controls, HIWORD(wParam));
        TakeSuggestedRect(window, lParam);
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(u.finished ? IDC_CANCEL : IDC_NEXT, DC_HASDEFID);
    case DM_SETDEFID:
        return TRUE;
    case WM_ERASEBKGND:
        return PaintWhite(window, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND:
        // Esc comes as IDCANCEL from the dialog manager; a removal under way is never cut short.
        if (LOWORD(wParam) == IDC_NEXT && !u.running && !u.finished) StartRemoval(u);
        else if ((LOWORD(wParam) == IDC_CANCEL || LOWORD(wParam) == IDCANCEL) && !u.running) DestroyWindow(window);
        return 0;
    case WM_CLOSE:
        if (!u.running) DestroyWindow(window);
        return 0;
    default:
        break;
    }
    if (const std::optional<LRESULT> handled = HandleRemovalMessage(u, window, message, wParam, lParam)) return *handled;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK UninstallerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Uninstaller* u = WindowStateOf<Uninstaller>(window, message, lParam);
    return u ? HandleMessage(*u, window, message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

int RunWindow(Uninstaller& u, int showCommand)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = UninstallerWndProc;
    windowClass.hInstance = u.instance;
    windowClass.hIcon = LoadIconW(u.instance, MAKEINTRESOURCEW(10001));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass)) return 1;
    const int dpi = WindowDpi(nullptr);
    const int width = Scale(kWindowWidth, dpi), height = Scale(kWindowHeight, dpi);
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, kTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2,
                                  width, height, nullptr, nullptr, u.instance, &u);
    if (!window) {
        MessageBoxW(nullptr, L"无法创建卸载程序窗口。", kTitle, MB_OK | MB_ICONERROR);
        return 1;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

fs::path OwnProgram()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// The first phase: a copy in the temporary folder, started with the folder to remove, does the work.
// False when no copy could be started; this program then removes what it can from where it is.
bool HandOverToTemporaryCopy(const fs::path& installDir, const InstallPlatform& platform)
{
    const fs::path copies = UninstallerCopiesFolder(FindKnownFolders().temp);
    RemoveUninstallerCopies(copies, platform);
    if (!platform.createFolders(copies)) return false;
    const fs::path copy = copies / (L"uninstall-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    if (!platform.copyFile(OwnProgram(), copy)) return false;
    std::wstring commandLine = L"\"" + copy.wstring() + L"\" --from \"" + installDir.wstring() + L"\" --wait " +
                               std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // It runs in its own folder: one inside the installation could not be removed while it is in use.
    if (!CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, copies.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Its own file can be removed only once the first phase has ended.
void WaitForFirstPhase(const std::wstring& processId)
{
    const ScopedHandle first(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(processId.c_str(), nullptr, 10))));
    if (first) WaitForSingleObject(first.get(), kWaitForFirstPhaseMs);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&classes);
    Uninstaller u;
    u.instance = instance;
    u.platform = Win32InstallPlatform();
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::vector<std::wstring> args(argv, argv + (argv ? argc : 0));
    LocalFree(argv);
    if (args.size() >= 3 && args[1] == L"--from") {
        u.installDir = args[2];
        if (args.size() >= 5 && args[3] == L"--wait") WaitForFirstPhase(args[4]);
    } else {
        u.installDir = OwnProgram().parent_path();
        if (HandOverToTemporaryCopy(u.installDir, u.platform)) return 0;
    }
    return RunWindow(u, showCommand);
}
