#include "WindowEvents_win32.h"

namespace {

// The copy belongs to the window once posted; if the post fails nobody will receive it,
// so the sender frees it.
void PostOwnedString(HWND window, UINT message, const std::wstring& text)
{
    auto copy = std::make_unique<std::wstring>(text);
    if (PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(copy.get()))) copy.release();
}

// wParam carries the outcome so that the window asks its completion question only after success;
// a late cancellation posts nothing, and the window sees the worker's end by its thread.
void PostDone(HWND window, InstallEnd end)
{
    if (end == InstallEnd::CancelledQuietly) return;
    PostMessageW(window, WM_INSTALL_DONE, end == InstallEnd::Succeeded ? 1 : 0, 0);
}

// Sent, so that the worker waits for the answer while the window's thread shows the box; a window
// that is gone answers 0, which stops the run as 取消 would.
bool AskRetry(HWND window, const std::wstring& question)
{
    return SendMessageW(window, WM_INSTALL_ASK_RETRY, 0, reinterpret_cast<LPARAM>(&question)) == 1;
}

}  // namespace

InstallEvents WindowEvents(HWND window)
{
    return {
        [window](const std::wstring& text) { PostOwnedString(window, WM_INSTALL_STATUS, text); },
        [window](const std::wstring& text) { PostOwnedString(window, WM_INSTALL_LOG, text); },
        [window](const std::wstring& text) { PostOwnedString(window, WM_INSTALL_DETAIL, text); },
        [window](int percent) { PostMessageW(window, WM_INSTALL_PROGRESS, static_cast<WPARAM>(percent), 0); },
        [window](InstallEnd end) { PostDone(window, end); },
        [window](const std::wstring& question) { return AskRetry(window, question); },
    };
}

// The window owns every posted string from the moment it arrives; wrapping the pointer
// at once means it is freed on every path, also when its control is missing.
std::unique_ptr<std::wstring> TakePostedString(std::intptr_t lParam)
{
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}
