#include <gtest/gtest.h>

#include "WineTestSupport_win32.h"
#include "wizard/WindowEvents_win32.h"

namespace {

TEST(WorkerMessages, ArriveInPostingOrderWithTheirPayloads)
{
    HWND window = CreateMessageSinkWindow();
    const InstallEvents events = WindowEvents(window);
    events.status(L"检测本地环境...");
    events.log(L"正在检测本地环境...");
    events.progress(42);
    events.detail(L"1.0 KB / 2.0 KB (50%)  0.0 MB/s");
    events.status(L"");
    events.done(InstallEnd::Succeeded);
    events.done(InstallEnd::CancelledQuietly);
    events.done(InstallEnd::Failed);
    const std::vector<ReceivedMessage> got = DrainInstallMessages();
    DestroyMessageSinkWindow(window);

    ASSERT_EQ(got.size(), 7u) << "a late cancellation posts no done message";
    EXPECT_EQ(got[0].message, WM_INSTALL_STATUS);
    EXPECT_EQ(got[0].text, L"检测本地环境...");
    EXPECT_EQ(got[1].message, WM_INSTALL_LOG);
    EXPECT_EQ(got[1].text, L"正在检测本地环境...");
    EXPECT_EQ(got[2].message, WM_INSTALL_PROGRESS);
    EXPECT_EQ(got[2].wParam, 42u);
    EXPECT_EQ(got[3].message, WM_INSTALL_DETAIL);
    EXPECT_EQ(got[3].text, L"1.0 KB / 2.0 KB (50%)  0.0 MB/s");
    EXPECT_EQ(got[4].message, WM_INSTALL_STATUS);
    EXPECT_EQ(got[4].text, L"") << "an empty status still travels, to empty the line";
    EXPECT_EQ(got[5].message, WM_INSTALL_DONE);
    EXPECT_EQ(got[5].wParam, 1u) << "success is told apart from failure";
    EXPECT_EQ(got[6].wParam, 0u);
}

TEST(WorkerMessages, PostsFromAnotherThreadReachTheWindowThread)
{
    HWND window = CreateMessageSinkWindow();
    const InstallEvents events = WindowEvents(window);
    HANDLE worker = CreateThread(
        nullptr, 0,
        [](void* sink) -> DWORD {
            const auto& events = *static_cast<const InstallEvents*>(sink);
            for (int i = 0; i < 500; ++i) events.log(L"line " + std::to_wstring(i));
            return 0;
        },
        const_cast<InstallEvents*>(&events), 0, nullptr);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    const std::vector<ReceivedMessage> got = DrainInstallMessages();
    DestroyMessageSinkWindow(window);
    ASSERT_EQ(got.size(), 500u) << "no line is lost when the window falls behind";
    for (int i = 0; i < 500; ++i) EXPECT_EQ(got[i].text, L"line " + std::to_wstring(i));
}

TEST(WorkerMessages, PostingToAWindowThatIsGoneNeitherBlocksNorCrashes)
{
    HWND window = CreateMessageSinkWindow();
    DestroyMessageSinkWindow(window);
    const InstallEvents events = WindowEvents(window);  // a stale handle, as after the window closed
    events.status(L"late");
    events.log(L"late");
    events.detail(L"late");
    events.progress(100);
    events.done(InstallEnd::Succeeded);
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
