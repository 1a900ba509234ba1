// Starts setup.exe, waits for the message box or the wizard window it may show; records what
// the box says and presses OK the way a person would, or closes the wizard; then records the
// exit code.
//   startup_driver.exe SETUP_EXE RESULT_FILE
// The result file is UTF-8 lines: "box 0|1", "wizard 0|1", "owner 0|1", "caption ...", "text ..." (with
// "\n" written as the two characters \n), "exit N".
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct BoxSearch {
    DWORD processId = 0;
    const wchar_t* className = nullptr;
    HWND found = nullptr;
};

BOOL CALLBACK FindProcessDialog(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (owner == search->processId && std::wstring(className) == search->className && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    std::string escaped;
    for (char c : out) {
        if (c == '\n') escaped += "\\n";
        else if (c != '\r') escaped.push_back(c);
    }
    return escaped;
}

std::wstring WindowText(HWND window)
{
    wchar_t buffer[4096] = {};
    SendMessageW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: startup_driver SETUP_EXE RESULT_FILE\n");
        return 2;
    }
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "cannot start setup.exe: %lu\n", GetLastError());
        return 2;
    }

    BoxSearch box{process.dwProcessId, L"#32770", nullptr};
    BoxSearch wizard{process.dwProcessId, L"QuillmereSetup", nullptr};
    std::string report = "box 0\nwizard 0\n";
    for (int waited = 0; waited < 60000; waited += 100) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
        EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&wizard));
        if (wizard.found) {
            report = "box 0\nwizard 1\n";
            PostMessageW(wizard.found, WM_CLOSE, 0, 0);
            break;
        }
        EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&box));
        if (!box.found) continue;
        Sleep(200);  // let the box finish laying out its text
        report = "box 1\nwizard 0\n";
        report += "owner " + std::string(GetWindow(box.found, GW_OWNER) ? "1" : "0") + "\n";
        report += "caption " + Utf8(WindowText(box.found)) + "\n";
        report += "text " + Utf8(WindowText(GetDlgItem(box.found, 0xFFFF))) + "\n";
        PostMessageW(GetDlgItem(box.found, IDOK), BM_CLICK, 0, 0);
        break;
    }
    DWORD exitCode = 259;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &exitCode);
    else TerminateProcess(process.hProcess, 99);
    report += "exit " + std::to_string(exitCode) + "\n";
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    FILE* out = _wfopen(argv[2], L"wb");
    if (!out) return 2;
    std::fwrite(report.data(), 1, report.size(), out);
    std::fclose(out);
    return 0;
}
