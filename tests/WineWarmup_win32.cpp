// Waits until Wine in a new prefix can create windows: its desktop process starts lazily and,
// on a loaded machine, the first window of a fresh prefix can fail while it is still coming up.
#include <windows.h>

#include <cstdio>

int main()
{
    for (int attempt = 0; attempt < 120; ++attempt) {
        HWND window = CreateWindowExW(0, L"STATIC", L"warm-up", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        if (window) {
            DestroyWindow(window);
            return 0;
        }
        Sleep(500);
    }
    std::fprintf(stderr, "Wine could not create a window in this prefix\n");
    return 1;
}
