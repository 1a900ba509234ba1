#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "WineTestSupport_win32.h"
#include "wizard/Wizard_win32.h"
#include "wizard/WriteCheck.h"

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

// The real calls: folders the check made are gone again, what stood there before stays as it was.
TEST(WriteCheckOnWindows, LeavesTheDiskAsItFoundIt)
{
    namespace fs = std::filesystem;
    const fs::path base = L"C:\\QuillmereTests\\write-check";
    fs::remove_all(base);
    fs::create_directories(base / L"kept");
    WriteFileBytes((base / L"kept" / L"earlier.txt").wstring(), "earlier");
    WriteFileBytes((base / L"blocker").wstring(), "a file where a folder should be");
    const FolderCalls calls = Win32FolderCalls();

    EXPECT_TRUE(CanWriteFolder(base / L"new" / L"deeper" / L"Quillmere", calls));
    EXPECT_FALSE(fs::exists(base / L"new")) << "every folder the check made is removed";
    EXPECT_TRUE(CanWriteFolder(base / L"kept", calls));
    EXPECT_EQ(ReadFileBytes((base / L"kept" / L"earlier.txt").wstring()), "earlier");
    EXPECT_EQ(std::distance(fs::directory_iterator(base / L"kept"), fs::directory_iterator()), 1) << "no probe left";
    EXPECT_FALSE(CanWriteFolder(base / L"blocker" / L"Quillmere", calls));
    EXPECT_TRUE(fs::is_regular_file(base / L"blocker"));
    fs::remove_all(base);
}

}  // namespace
