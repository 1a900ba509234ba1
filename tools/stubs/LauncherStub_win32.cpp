// Stands in for the product's launcher.exe: proves it was started by leaving
// launcher-started.txt next to itself, holding the working directory it was given (UTF-8,
// one line), then shows a small "Quillmere Gateway" window whose one button says so when
// pressed. It stays open until closed, as the real launcher does.
#include <windows.h>

#include <string>

namespace {

constexpr int kStartButtonId = 100;
constexpr int kStateLabelId = 101;

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

bool WriteStartMarker()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder = self;
    folder.erase(folder.find_last_of(L'\\') + 1);
    const std::wstring partial = folder + L"launcher-started.tmp";
    const std::wstring marker = folder + L"launcher-started.txt";

    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    const std::string line = Utf8(directory) + "\n";

    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    // Renamed once complete, so whoever sees the marker sees all of it.
    return wrote && MoveFileExW(partial.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING);
}

LRESULT CALLBACK LauncherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateWindowW(L"BUTTON", L"启动 Gateway", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 110, 40, 160, 36, window,
                      reinterpret_cast<HMENU>(kStartButtonId), nullptr, nullptr);
        CreateWindowW(L"STATIC", L"Gateway 未启动", WS_CHILD | WS_VISIBLE | SS_CENTER, 20, 100, 340, 24, window,
                      reinterpret_cast<HMENU>(kStateLabelId), nullptr, nullptr);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kStartButtonId)
            SetDlgItemTextW(window, kStateLabelId, L"Gateway 已启动（示例程序，不做任何事）");
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    if (!WriteStartMarker()) return 1;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = LauncherWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"QuillmereGatewayStub";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(windowClass.lpszClassName, L"Quillmere Gateway", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                CW_USEDEFAULT, CW_USEDEFAULT, 400, 180, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, show);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
