#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "wizard/Wizard_win32.h"

namespace {

// Presses OK on the error box once it shows, so that the modal loop returns.
void DismissErrorBox(std::atomic<bool>& seen)
{
    for (int tries = 0; tries < 500 && !seen; ++tries) {
        if (HWND box = FindWindowW(L"#32770", L"Quillmere Setup")) {
            seen = true;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        Sleep(20);
    }
}

TEST(WizardWindow, AClassThatCannotBeRegisteredEndsWithAnErrorBoxAndCode1)
{
    // Taken already, so the wizard's own registration fails as it would when Windows refuses it.
    WNDCLASSEXW taken = {};
    taken.cbSize = sizeof taken;
    taken.lpfnWndProc = DefWindowProcW;
    taken.hInstance = GetModuleHandleW(nullptr);
    taken.lpszClassName = L"QuillmereSetup";
    ASSERT_NE(RegisterClassExW(&taken), 0);

    const auto wizard = std::make_unique<Wizard>();
    wizard->instance = GetModuleHandleW(nullptr);
    std::atomic<bool> boxSeen{false};
    std::thread dismisser(DismissErrorBox, std::ref(boxSeen));
    const int exitCode = RunWizard(*wizard, SW_SHOWNORMAL);
    boxSeen = true;
    dismisser.join();
    UnregisterClassW(L"QuillmereSetup", GetModuleHandleW(nullptr));

    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(wizard->window, nullptr) << "no window was made";
}

}  // namespace
