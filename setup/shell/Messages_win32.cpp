#include "Messages.h"

#include "Ui_win32.h"

HWND MainWindow = nullptr;

namespace {

// The copy belongs to the window once posted; if the post fails nobody will receive it,
// so the sender frees it.
void PostOwnedString(UINT message, const std::wstring& text)
{
    auto copy = std::make_unique<std::wstring>(text);
    if (PostMessageW(MainWindow, message, 0, reinterpret_cast<LPARAM>(copy.get()))) copy.release();
}

}  // namespace

void PostStatus(const wchar_t* text)
{
    PostOwnedString(WM_INSTALL_STATUS, text);
}

void PostLog(const std::wstring& text)
{
    PostOwnedString(WM_INSTALL_LOG, text);
}

void PostProgress(int percent)
{
    PostMessageW(MainWindow, WM_INSTALL_PROGRESS, static_cast<WPARAM>(percent), 0);
}

void PostDetail(const std::wstring& text)
{
    PostOwnedString(WM_INSTALL_DETAIL, text);
}

// wParam carries the outcome so that the window asks its completion question only after success.
void PostInstallDone(bool succeeded)
{
    PostMessageW(MainWindow, WM_INSTALL_DONE, succeeded ? 1 : 0, 0);
}
