#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct ReceivedMessage {
    unsigned message = 0;
    WPARAM wParam = 0;
    std::wstring text;
};

std::wstring WindowsPathFromUnix(const std::string& unixPath);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::string PatternBytes(size_t size, unsigned seed);
HWND CreateMessageSinkWindow();
std::vector<ReceivedMessage> DrainInstallMessages();
void DestroyMessageSinkWindow(HWND window);
