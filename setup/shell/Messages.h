#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Private window messages from the worker to the wizard window (WM_APP + n).
inline constexpr unsigned WM_INSTALL_STATUS = 0x8001;
inline constexpr unsigned WM_INSTALL_LOG = 0x8002;
inline constexpr unsigned WM_INSTALL_PROGRESS = 0x8003;
inline constexpr unsigned WM_INSTALL_DONE = 0x8004;
inline constexpr unsigned WM_INSTALL_DETAIL = 0x8005;

extern std::atomic<bool> CancelRequested;
extern std::atomic<bool> InstallRunning;

void PostStatus(const wchar_t* text);
void PostLog(const std::wstring& text);
void PostProgress(int percent);
void PostDetail(const std::wstring& text);
void PostInstallDone(bool succeeded);
std::unique_ptr<std::wstring> TakePostedString(std::intptr_t lParam);
