// Starts setup.exe, waits for the message box or the wizard window it may show; records what
// the box says and presses OK the way a person would, or closes the wizard; then records the
// exit code.
//   startup_driver.exe SETUP_EXE RESULT_FILE
// The result file is UTF-8 lines: "box 0|1", "wizard 0|1", "owner 0|1", "caption ...", "text ..." (with
// "\n" written as the two characters \n), "exit N".
//   startup_driver.exe SETUP_EXE RESULT_FILE twice
// Starts one setup.exe and waits for its wizard, minimises it, starts a second one while the first
// runs, then closes the first and starts a third: "second-exit N", "second-wizard 0|1",
// "first-restored 0|1", "first-exit N", "third-wizard 0|1", "third-exit N".
//   startup_driver.exe SETUP_EXE RESULT_FILE early
// Starts one setup.exe that shows only its failure box, a second one meanwhile, then closes the box:
// "first-box 0|1", "second-waited 0|1", "first-exit N", "second-box 0|1", "second-exit N".
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

PROCESS_INFORMATION Start(const wchar_t* setup)
{
    std::wstring commandLine = L"\"" + std::wstring(setup) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(setup, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        std::fprintf(stderr, "cannot start setup.exe: %lu\n", GetLastError());
    return process;
}

// The process's wizard window once it is visible, or nothing when the process ends or time runs out.
HWND WaitForWizard(const PROCESS_INFORMATION& process, int timeoutMs)
{
    BoxSearch wizard{process.dwProcessId, L"QuillmereSetup", nullptr};
    for (int waited = 0; waited < timeoutMs && process.hProcess; waited += 100) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) return nullptr;
        EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&wizard));
        if (wizard.found) return wizard.found;
    }
    return nullptr;
}

// Waits for the process to end (terminating it after the time-out) and closes its handles.
DWORD Finish(PROCESS_INFORMATION& process, int timeoutMs)
{
    if (!process.hProcess) return 2;
    DWORD exitCode = 259;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &exitCode);
    else TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    process = {};
    return exitCode;
}

std::string Line(const char* key, unsigned long value)
{
    return std::string(key) + " " + std::to_string(value) + "\n";
}

std::string RunTwice(const wchar_t* setup)
{
    PROCESS_INFORMATION first = Start(setup);
    HWND window = WaitForWizard(first, 60000);
    std::string report = Line("first-wizard", window ? 1 : 0);
    if (window) {
        ShowWindowAsync(window, SW_MINIMIZE);
        for (int waited = 0; waited < 5000 && !IsIconic(window); waited += 50) Sleep(50);
    }
    PROCESS_INFORMATION second = Start(setup);
    report += Line("second-wizard", WaitForWizard(second, 3000) ? 1 : 0);
    report += Line("second-exit", Finish(second, 30000));
    report += Line("first-restored", window && IsWindow(window) && !IsIconic(window) ? 1 : 0);
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    report += Line("first-exit", Finish(first, 30000));
    PROCESS_INFORMATION third = Start(setup);
    HWND again = WaitForWizard(third, 60000);
    report += Line("third-wizard", again ? 1 : 0);
    if (again) PostMessageW(again, WM_CLOSE, 0, 0);
    report += Line("third-exit", Finish(third, 30000));
    return report;
}

// The process's visible message box, or nothing when the process ends or time runs out.
HWND WaitForBox(const PROCESS_INFORMATION& process, int timeoutMs)
{
    BoxSearch box{process.dwProcessId, L"#32770", nullptr};
    for (int waited = 0; waited < timeoutMs && process.hProcess; waited += 100) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) return nullptr;
        EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&box));
        if (box.found) return box.found;
    }
    return nullptr;
}

// The first shows no window, only its failure box; a second started meanwhile must wait, and start
// as usual once the first has gone.
std::string RunWhileTheFirstHasNoWindow(const wchar_t* setup)
{
    PROCESS_INFORMATION first = Start(setup);
    const HWND firstBox = WaitForBox(first, 60000);
    std::string report = Line("first-box", firstBox ? 1 : 0);
    PROCESS_INFORMATION second = Start(setup);
    const bool shownMeanwhile = WaitForWizard(second, 2000) || WaitForBox(second, 1000);
    report += Line("second-waited", second.hProcess && !shownMeanwhile && WaitForSingleObject(second.hProcess, 0) == WAIT_TIMEOUT);
    if (firstBox) PostMessageW(GetDlgItem(firstBox, IDOK), BM_CLICK, 0, 0);
    report += Line("first-exit", Finish(first, 30000));
    const HWND secondBox = WaitForBox(second, 60000);
    report += Line("second-box", secondBox ? 1 : 0);
    if (secondBox) PostMessageW(GetDlgItem(secondBox, IDOK), BM_CLICK, 0, 0);
    report += Line("second-exit", Finish(second, 30000));
    return report;
}

bool WriteReport(const wchar_t* path, const std::string& report)
{
    FILE* out = _wfopen(path, L"wb");
    if (!out) return false;
    std::fwrite(report.data(), 1, report.size(), out);
    std::fclose(out);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wstring(argv[3]) == L"twice") return WriteReport(argv[2], RunTwice(argv[1])) ? 0 : 2;
    if (argc == 4 && std::wstring(argv[3]) == L"early")
        return WriteReport(argv[2], RunWhileTheFirstHasNoWindow(argv[1])) ? 0 : 2;
    if (argc != 3) {
        std::fprintf(stderr, "usage: startup_driver SETUP_EXE RESULT_FILE [twice]\n");
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
