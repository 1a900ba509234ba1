#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/InstallEvents.h"

// Private window messages from the worker to the wizard window.
enum InstallMessage : UINT {
    WM_INSTALL_STATUS = WM_APP + 1,    // lParam: the status text
    WM_INSTALL_LOG = WM_APP + 2,       // lParam: one log line
    WM_INSTALL_PROGRESS = WM_APP + 3,  // wParam: percent
    WM_INSTALL_DONE = WM_APP + 4,      // wParam: 1 after success, 0 otherwise
    WM_INSTALL_DETAIL = WM_APP + 5,    // lParam: the transfer line
    WM_INSTALL_ASK_RETRY = WM_APP + 6, // sent, not posted; lParam: the question; returns 1 for 重试
};

// The events of an installation as messages posted to window; texts travel as heap copies it owns.
InstallEvents WindowEvents(HWND window);
// Takes ownership of the text a message carries.
std::unique_ptr<std::wstring> TakePostedString(std::intptr_t lParam);
