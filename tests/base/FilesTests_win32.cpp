#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "StoredZip.h"
#include "WineTestSupport_win32.h"
#include "agentconfig/WholeFile.h"
#include "archive/Zip.h"
#include "base/Files.h"
#include "base/LongPath.h"
#include "base/Scoped_win32.h"
#include "base/SystemError.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = L"C:\\QuillmereTests\\files";

// child_probe.exe beside this program holds the file open without sharing, as a virus scanner or
// another program would, until it ends; returns once the file is held.
ScopedHandle HoldFile(const fs::path& file, unsigned milliseconds)
{
    const fs::path ready = kRoot / L"held.ready";
    DeleteFileW(ready.c_str());
    std::wstring line = L"child_probe hold:" + file.wstring() + L" marker:" + ready.wstring() + L" sleep:" +
                        std::to_wstring(milliseconds);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return nullptr;
    CloseHandle(started.hThread);
    for (int wait = 0; wait < 500 && !FileExists(ready.wstring()); ++wait) Sleep(10);
    return ScopedHandle(started.hProcess);
}

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree(kRoot);
        CreateFolders(kRoot);
    }
    void TearDown() override { RemoveTree(kRoot); }
};

}  // namespace

// Chinese Windows words its messages in GBK for the ANSI calls; ours must be the wide ones, whole.
TEST(SystemErrorText, IsTheSystemsWideTextWithoutItsLineBreak)
{
    for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL}) {
        wchar_t buffer[512] = {};
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                            0, buffer, 512, nullptr);
        ASSERT_GT(length, 0u) << code;
        const std::wstring text = SystemErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(std::wstring(buffer).rfind(text, 0), 0u) << WideToUtf8(text);
        EXPECT_EQ(text.find(L'\uFFFD'), std::wstring::npos) << code;
        EXPECT_NE(text.back(), L'\n') << code;
        EXPECT_NE(text.back(), L'.') << code;
    }
    // The C runtime's codes reach the user as the system's words for the same refusal.
    EXPECT_EQ(ErrorCodeText(std::error_code(EACCES, std::generic_category())), SystemErrorText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ErrorCodeText(std::error_code(ERROR_DISK_FULL, std::system_category())), SystemErrorText(ERROR_DISK_FULL));
}

TEST_F(FilesTest, AFileHeldForTwoSecondsIsReplacedOnceItIsFree)
{
    const fs::path zip = kRoot / L"product.zip";
    const fs::path product = kRoot / L"product";
    CreateFolders(product);
    WriteFileBytes((product / L"launcher.exe").wstring(), "old");
    WriteFileBytes(zip.wstring(), StoredZip({{"launcher.exe", "new"}}));
    const ScopedHandle holder = HoldFile(product / L"launcher.exe", 2000);
    ASSERT_TRUE(holder);
    ASSERT_EQ(WriteFileBytes(product / L"launcher.exe", "x", 1).code, static_cast<uint32_t>(ERROR_SHARING_VIOLATION))
        << "the holder must refuse the write, or this test shows nothing";
    const ExtractReport report = ExtractZip(zip.wstring(), product.wstring());
    EXPECT_EQ(report.filesWritten, 1);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(ReadFileBytes((product / L"launcher.exe").wstring()), "new");
    WaitForSingleObject(holder.get(), 10000);
}

// After about ten seconds of refusals the write fails as any other, with the system's reason.
TEST_F(FilesTest, AFileHeldForLongerFailsAfterTheRetriesWithItsReason)
{
    const fs::path config = kRoot / L"config.json";
    WriteFileBytes(config.wstring(), "{}");
    const ScopedHandle holder = HoldFile(config, 30000);
    ASSERT_TRUE(holder);
    const ULONGLONG started = GetTickCount64();
    const Outcome written = WriteWholeFile(config, "{\"a\":1}");
    const ULONGLONG waited = GetTickCount64() - started;
    TerminateProcess(holder.get(), 0);
    WaitForSingleObject(holder.get(), 5000);
    EXPECT_FALSE(written);
    // The new text is written beside it; taking the held file's place is what Windows refuses.
    const std::wstring prefix = L"无法写入文件 " + config.wstring() + L" (";
    EXPECT_TRUE(written.error == prefix + SystemErrorText(ERROR_ACCESS_DENIED) + L")" ||
                written.error == prefix + SystemErrorText(ERROR_SHARING_VIOLATION) + L")")
        << WideToUtf8(written.error);
    EXPECT_FALSE(FileExists(config.wstring() + L".quillmere-new"));
    EXPECT_GE(waited, 9000u) << "the refusal was not waited out";
    EXPECT_EQ(ReadFileBytes(config.wstring()), "{}");
}

// Windows refuses paths of MAX_PATH and more unless they come in the extended form.
TEST_F(FilesTest, AnEntryDeepInsideTheArchiveExtractsPastMaxPath)
{
    std::string deep;
    while (kRoot.wstring().size() + 9 + deep.size() < 300) deep += "folder-of-the-product/";
    deep += "file.txt";
    const fs::path zip = kRoot / L"deep.zip";
    WriteFileBytes(zip.wstring(), StoredZip({{deep, "deep"}}));
    const fs::path target = kRoot / L"product";
    const ExtractReport report = ExtractZip(zip.wstring(), target.wstring());
    EXPECT_EQ(report.filesWritten, 1);
    EXPECT_TRUE(report.failures.empty());
    const std::wstring written = target.wstring() + L"\\" + Utf8ToWide(deep);
    ASSERT_GE(written.size(), 300u);
    EXPECT_EQ(ReadFileBytes(ExtendedLengthPath(written)), "deep");
    EXPECT_TRUE(RemoveTree(target));
    EXPECT_FALSE(IsFolder(target));
}

// A full disk never costs the file that stood there: the system's reason, the earlier bytes kept.
TEST(FullDisk, LeavesTheEarlierFileAsItWas)
{
    const fs::path drive = WindowsPathFromUnix(SMALL_DRIVE);
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(drive.c_str(), &available, nullptr, nullptr) || available.QuadPart > (1u << 20))
        GTEST_SKIP() << "no small drive mounted at " << SMALL_DRIVE;
    const fs::path credential = drive / L"qwen-portal_default";
    const std::string earlier = "enc:" + std::string(100, 'a');
    ASSERT_TRUE(WriteWholeFile(credential, earlier));
    const Outcome written = WriteWholeFile(credential, std::string(256 * 1024, 'n'));
    EXPECT_FALSE(written);
    EXPECT_EQ(written.error, L"无法写入文件 " + credential.wstring() + L" (" + SystemErrorText(ERROR_DISK_FULL) + L")");
    EXPECT_EQ(ReadFileBytes(credential.wstring()), earlier);
    EXPECT_FALSE(FileExists(credential.wstring() + L".quillmere-new")) << "nothing of the new text is left";
    RemoveFile(credential);
}
