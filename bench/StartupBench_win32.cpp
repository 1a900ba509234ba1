// startup_bench SETUP_EXE RUNS: starts setup.exe RUNS times and prints, per run, the milliseconds
// from CreateProcessW to the wizard window being shown and to its message loop answering (by then
// the first paint is done), and from closing the wizard (WM_CLOSE) to the process's end.
//   run I SHOWN_MS ANSWERING_MS EXIT_MS
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kWizardClass[] = L"QuillmereSetup";
constexpr DWORD kRunLimitMs = 60000;

struct WizardSearch {
    DWORD processId = 0;
    HWND found = nullptr;
};

BOOL CALLBACK FindWizard(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<WizardSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (owner == search->processId && std::wstring(name) == kWizardClass && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency)
{
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One start of setup.exe; false, with a message on stderr, when no wizard came up.
bool TimeOneStart(const std::wstring& setup, double& shownMs, double& answeringMs, double& exitMs)
{
    LARGE_INTEGER frequency, start, shown, answering, closed, gone;
    QueryPerformanceFrequency(&frequency);
    std::wstring commandLine = L"\"" + setup + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(setup.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "cannot start setup.exe: %lu\n", GetLastError());
        return false;
    }
    // Polled every millisecond: a hook would have to live in setup.exe's own process.
    WizardSearch search{process.dwProcessId, nullptr};
    bool ended = false;
    for (;;) {
        EnumWindows(FindWizard, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        QueryPerformanceCounter(&shown);
        if (Milliseconds(start, shown, frequency) > kRunLimitMs) break;
    }
    QueryPerformanceCounter(&shown);
    bool ok = false;
    if (search.found) {
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, kRunLimitMs, &ignored)) {
            QueryPerformanceCounter(&answering);
            shownMs = Milliseconds(start, shown, frequency);
            answeringMs = Milliseconds(start, answering, frequency);
            ok = true;
        } else {
            std::fprintf(stderr, "the wizard window does not answer\n");
        }
        QueryPerformanceCounter(&closed);
        PostMessageW(search.found, WM_CLOSE, 0, 0);
    } else {
        std::fprintf(stderr, ended ? "setup.exe ended without showing the wizard\n" : "no wizard within the limit\n");
    }
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "setup.exe did not end after WM_CLOSE\n");
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        ok = false;
    }
    QueryPerformanceCounter(&gone);
    if (ok) exitMs = Milliseconds(closed, gone, frequency);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc == 3 ? _wtoi(argv[2]) : 0;
    if (runs <= 0) {
        std::fprintf(stderr, "usage: startup_bench SETUP_EXE RUNS\n");
        return 2;
    }
    if (FindWindowW(kWizardClass, nullptr)) {
        std::fprintf(stderr, "a wizard window is already open\n");
        return 1;
    }
    for (int run = 1; run <= runs; ++run) {
        double shownMs = 0;
        double answeringMs = 0;
        double exitMs = 0;
        if (!TimeOneStart(argv[1], shownMs, answeringMs, exitMs)) return 1;
        std::printf("run %d %.1f %.1f %.1f\n", run, shownMs, answeringMs, exitMs);
        std::fflush(stdout);
    }
    return 0;
}
