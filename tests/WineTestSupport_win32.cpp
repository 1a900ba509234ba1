#include "WineTestSupport_win32.h"

#include <fstream>
#include <iterator>

#include "wizard/WindowEvents_win32.h"

namespace {

std::vector<ReceivedMessage> Received;

// Records the worker messages as the wizard window would receive them, freeing
// each string payload exactly as the window does.
LRESULT CALLBACK SinkWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INSTALL_STATUS:
    case WM_INSTALL_LOG:
    case WM_INSTALL_DETAIL:
        Received.push_back({message, wParam, *TakePostedString(lParam)});
        return 0;
    case WM_INSTALL_PROGRESS:
    case WM_INSTALL_DONE:
        Received.push_back({message, wParam, {}});
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

// Wine maps the Unix root to drive Z:.
std::wstring WindowsPathFromUnix(const std::string& unixPath)
{
    std::wstring path = L"Z:";
    for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return path;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Deterministic bytes that differ at every offset often enough to catch a misplaced chunk.
std::string PatternBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 16);
    }
    return bytes;
}

HWND CreateMessageSinkWindow()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = SinkWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuillmereTestSink";
    RegisterClassW(&windowClass);
    Received.clear();
    return CreateWindowW(L"QuillmereTestSink", L"sink", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                         windowClass.hInstance, nullptr);
}

// Messages posted by this thread are all queued already; one pass delivers them in order.
std::vector<ReceivedMessage> DrainInstallMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    std::vector<ReceivedMessage> drained;
    drained.swap(Received);
    return drained;
}

void DestroyMessageSinkWindow(HWND window)
{
    DrainInstallMessages();
    DestroyWindow(window);
}
