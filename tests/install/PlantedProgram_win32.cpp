// Stands in for a program planted under a system program's name (cmd.exe, node.exe, msiexec.exe,
// reg.exe) beside the installer or in its current folder: leaves "<its own path>.ran" so that a test
// sees it ran, prints a version line a node probe would take, and succeeds.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring marker = std::wstring(self) + L".ran";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    std::printf("v99.0.0\n");
    return 0;
}
