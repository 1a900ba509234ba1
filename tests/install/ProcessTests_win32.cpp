#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "WineTestSupport_win32.h"
#include "install/Process.h"
#include "wizard/WindowEvents_win32.h"
#include "base/Text.h"

// child_probe.exe is built beside this test program; see ChildProbe_win32.cpp for its actions.
namespace {

using namespace std::chrono_literals;

constexpr auto kHangGuard = 60s;  // only keeps a broken runner from hanging the test program

std::wstring TestProgramDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L'\\'));
}

// The command interpreter as the installer starts it: by its full path, without AutoRun.
std::wstring SystemCmd()
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return L"\"" + std::wstring(system) + L"\\cmd.exe\" /d /c ";
}

const std::wstring kCmd = SystemCmd();

std::wstring ScratchDirectory()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = std::wstring(temp) + L"runcommand-tests";
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}

std::vector<std::wstring> LogLines(const std::vector<ReceivedMessage>& messages)
{
    std::vector<std::wstring> lines;
    for (const ReceivedMessage& message : messages)
        if (message.message == WM_INSTALL_LOG) lines.push_back(message.text);
    return lines;
}

// GetProcessHandleCount always gives 0 under Wine; the system handle table is counted instead.
size_t HandleCount()
{
    struct HandleEntry {
        void* object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT backTrace;
        USHORT typeIndex;
        ULONG attributes;
        ULONG reserved;
    };
    struct HandleTable {
        ULONG_PTR count;
        ULONG_PTR reserved;
        HandleEntry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    constexpr int kSystemExtendedHandleInformation = 64;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 20);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    EXPECT_EQ(status, 0) << "the handle table could not be read";
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    size_t count = 0;
    for (ULONG_PTR i = 0; status == 0 && i < table->count; ++i)
        if (table->entries[i].processId == GetCurrentProcessId()) ++count;
    return count;
}

std::string Alphabet(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

std::vector<std::wstring> CountedLines(int count)
{
    std::vector<std::wstring> lines;
    for (int n = 1; n <= count; ++n) lines.push_back(L"  line " + std::to_wstring(n));
    return lines;
}

bool WaitForFile(const std::wstring& path, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!FileExists(path)) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(50);
    }
    return true;
}

// Set by a test to cancel a run in lines mode.
std::atomic<bool> Cancel{false};
HWND SinkWindow = nullptr;

// Lines go to the test window as the installation relays npm's: indented by two spaces.
CommandSettings WithRelay(CommandSettings settings)
{
    const InstallEvents events = WindowEvents(SinkWindow);
    settings.onLine = [events](const std::string& line) { events.log(L"  " + Utf8ToWide(line)); };
    settings.cancel = &Cancel;
    return settings;
}

// The probe's directory goes first on PATH so that cmd.exe finds it as it finds npm.
class RunCommandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        wchar_t path[32767] = {};
        GetEnvironmentVariableW(L"PATH", path, 32767);
        SetEnvironmentVariableW(L"PATH", (TestProgramDirectory() + L";" + path).c_str());
        // The first thread and the first timed wait on a future leave the threads library's own
        // handles behind; made here, they are not blamed on the runner by HandleCount.
        std::packaged_task<void()> task([] {});
        std::future<void> done = task.get_future();
        std::thread thread(std::move(task));
        done.wait_for(kHangGuard);
        thread.join();
    }

    void SetUp() override
    {
        Cancel.store(false);
        window = CreateMessageSinkWindow();
        SinkWindow = window;
        ASSERT_NE(window, nullptr) << "log lines are read back through this window";
    }

    void TearDown() override
    {
        Cancel.store(false);
        DestroyMessageSinkWindow(window);
    }

    HWND window = nullptr;
};

TEST_F(RunCommandTest, CollectReturnsStdoutAndStderrBytesAndTheExitCode)
{
    const struct Row {
        std::wstring command;
        std::string output;
        uint32_t exitCode;
        const char* why;
    } rows[] = {
        {L"child_probe out:hello\\r\\n sleep:100 err:oops\\n sleep:100 out:bye exit:7", "hello\r\noops\nbye", 7,
         "stdout and stderr share the pipe in write order; CR LF kept"},
        {L"child_probe bulk:100000", Alphabet(100000), 0, "many reads joined in order"},
        {L"child_probe out:ab\\0cd\\n sleep:300 out:ef", "abef", 0, "a 0 byte drops the rest of its read"},
        {L"child_probe out:\\xE4\\xB8\\xAD exit:-1", "\xE4\xB8\xAD", 0xFFFFFFFFu,
         "bytes are returned unconverted; a negative code reads back as its 32-bit pattern"},
        {kCmd + L"echo hi", "hi\r\n", 0, "a built-in of the system's cmd.exe, started by its full path"},
        {kCmd + L"child_probe err:e\\n exit:12", "e\n", 12, "cmd.exe passes on its child's exit code"},
        {kCmd + L"exit 3", "", 3, "no output at all"},
    };
    for (const Row& row : rows) {
        const size_t handlesBefore = HandleCount();
        const CommandResult result = RunCommand(WithRelay({.commandLine = row.command, .output = OutputMode::Collect}));
        EXPECT_TRUE(result.started) << row.why;
        EXPECT_EQ(result.output, row.output) << row.why;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.why;
        EXPECT_EQ(HandleCount(), handlesBefore) << row.why << ": pipe, process and thread handles are closed";
    }
    EXPECT_TRUE(LogLines(DrainInstallMessages()).empty()) << "collect mode posts nothing";
}

TEST_F(RunCommandTest, DrainReadsEverythingAndPostsNothing)
{
    const CommandResult result =
        RunCommand(WithRelay({.commandLine = L"child_probe bulk:300000 err:x exit:3", .output = OutputMode::Drain}));
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 3u) << "a child writing more than the pipe holds only finishes if it is read";
    EXPECT_TRUE(result.output.empty());
    EXPECT_TRUE(DrainInstallMessages().empty());
}

TEST_F(RunCommandTest, LinesArePostedToTheWindowOneByOne)
{
    const struct Row {
        std::wstring command;
        std::vector<std::wstring> lines;
        uint32_t exitCode;
        const char* why;
    } rows[] = {
        {L"child_probe out:first\\r\\n sleep:100 out:\\r\\n sleep:100 out:last exit:2", {L"  first", L"  last"}, 2,
         "CR dropped, empty line skipped, the tail posted after the pipe closed"},
        {L"child_probe out:hel sleep:150 out:lo\\x20wor sleep:150 out:ld\\n", {L"  hello world"}, 0,
         "a line split across reads is posted once, whole"},
        {L"child_probe out:abc\\r sleep:150 out:\\ndef\\n", {L"  abc", L"  def"}, 0,
         "a CR LF split across reads still loses its CR"},
        {L"child_probe out:\\xE4\\xB8 sleep:150 out:\\xAD\\xE6\\x96\\x87\\n", {L"  中文"}, 0,
         "a UTF-8 character split across reads is converted whole"},
        {L"child_probe out:ab\\0cd\\n sleep:150 out:ef\\n", {L"  abef"}, 0, "a 0 byte drops the rest of its read"},
        {L"child_probe out:x\\r\\ntail\\r", {L"  x", L"  tail\r"}, 0, "the tail keeps its CR"},
        {L"child_probe out:o\\n sleep:100 err:e\\n", {L"  o", L"  e"}, 0, "stderr lines are relayed as well"},
        {L"child_probe count:100:0", CountedLines(100), 0, "more lines than one read holds, all in order"},
        {kCmd + L"echo hello", {L"  hello"}, 0, "a cmd.exe built-in relayed as npm's output would be"},
        {kCmd + L"child_probe out:n1\\r\\n sleep:100 out:n2\\r\\n exit:5", {L"  n1", L"  n2"}, 5,
         "through cmd.exe, as npm runs, with its exit code"},
    };
    for (const Row& row : rows) {
        const size_t handlesBefore = HandleCount();
        const CommandResult result = RunCommand(WithRelay({.commandLine = row.command, .output = OutputMode::Lines}));
        EXPECT_TRUE(result.started) << row.why;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.why;
        EXPECT_TRUE(result.output.empty()) << row.why;
        EXPECT_EQ(HandleCount(), handlesBefore) << row.why << ": the job is closed too";
        EXPECT_EQ(LogLines(DrainInstallMessages()), row.lines) << row.why;
    }
}

TEST_F(RunCommandTest, ModeNoneReturnsTheExitCodeWithTheWindowShownOrHidden)
{
    const struct Row {
        std::wstring command;
        bool showWindow;
        uint32_t exitCode;
        const char* why;
    } rows[] = {
        {L"child_probe out:unseen exit:5", false, 5, "hidden, no pipe: the output goes nowhere"},
        {L"child_probe exit:5", true, 5, "shown, as the Windows Installer runs"},
        {kCmd + L"exit 42", false, 42, "hidden cmd.exe, as the registry clean-up runs"},
        {kCmd + L"exit 3010", true, 3010, "the Windows Installer's restart code survives"},
    };
    for (const Row& row : rows) {
        const CommandResult result = RunCommand(WithRelay({.commandLine = row.command, .showWindow = row.showWindow, .waitLimitMs = 5000}));
        EXPECT_TRUE(result.started) << row.why;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.why;
        EXPECT_TRUE(result.output.empty()) << row.why;
    }
    EXPECT_TRUE(DrainInstallMessages().empty());
}

TEST_F(RunCommandTest, WorkingDirectoryIsHonoured)
{
    const std::wstring scratch = ScratchDirectory();
    wchar_t own[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, own);
    ASSERT_NE(CompareStringOrdinal(scratch.c_str(), -1, own, -1, TRUE), CSTR_EQUAL) << "the two must differ";
    const struct Row {
        std::wstring command;
        std::wstring directory;
        std::wstring expected;
        const char* why;
    } rows[] = {
        {L"child_probe cwd", scratch, scratch, "the given directory"},
        {L"child_probe cwd", L"", own, "none given: the installer's own"},
        {kCmd + L"cd", scratch, scratch + L"\r\n", "cmd.exe starts there too, as npm install needs"},
    };
    for (const Row& row : rows) {
        const CommandResult result = RunCommand(WithRelay({.commandLine = row.command, .workingDirectory = row.directory, .output = OutputMode::Collect}));
        ASSERT_TRUE(result.started) << row.why;
        const std::wstring got = Utf8ToWide(result.output);
        EXPECT_EQ(CompareStringOrdinal(got.c_str(), -1, row.expected.c_str(), -1, TRUE), CSTR_EQUAL)
            << row.why << ": got " << result.output;
    }
}

TEST_F(RunCommandTest, ChildThatCannotStartIsReportedWithNoHandleLeft)
{
    const std::wstring missingDirectory = ScratchDirectory() + L"\\no-such-folder";
    const struct Row {
        std::wstring command;
        std::wstring directory;
        OutputMode mode;
        const char* why;
    } rows[] = {
        {L"nosuchprogram_qm.exe", L"", OutputMode::None, "first word not on the search path, no pipe"},
        {L"nosuchprogram_qm.exe --version", L"", OutputMode::Collect, "the pipe is closed again"},
        {L"nosuchprogram_qm", L"", OutputMode::Lines, "the job is closed again"},
        {L"nosuchprogram_qm", L"", OutputMode::Drain, "the pipe is closed again, with nothing read"},
        {L"child_probe exit:0", missingDirectory, OutputMode::Lines, "a working directory that does not exist"},
    };
    for (const Row& row : rows) {
        const size_t handlesBefore = HandleCount();
        const CommandResult result = RunCommand(WithRelay({.commandLine = row.command, .workingDirectory = row.directory, .output = row.mode, .waitLimitMs = 5000}));
        EXPECT_FALSE(result.started) << row.why;
        EXPECT_FALSE(result.exitCode.has_value()) << row.why;
        EXPECT_TRUE(result.output.empty()) << row.why;
        EXPECT_EQ(HandleCount(), handlesBefore) << row.why;
    }
    EXPECT_TRUE(DrainInstallMessages().empty()) << "the caller decides what to log";
}

TEST_F(RunCommandTest, UnknownCommandUnderCmdExitsWith9009)
{
    for (OutputMode mode : {OutputMode::None, OutputMode::Collect, OutputMode::Lines, OutputMode::Drain}) {
        const CommandResult result =
            RunCommand(WithRelay({.commandLine = kCmd + L"nosuchprogram_qm --version 2>&1", .output = mode, .waitLimitMs = 5000}));
        EXPECT_TRUE(result.started) << "cmd.exe itself starts";
        EXPECT_EQ(result.exitCode, 9009u) << "mode " << static_cast<int>(mode);
    }
}

// Without a pipe; LimitedWaitInPipeModesReturnsOnTimeAndLeavesTheChildRunning covers the others.
TEST_F(RunCommandTest, LimitedWaitLeavesALongChildRunning)
{
    const std::wstring marker = ScratchDirectory() + L"\\outlived";
    DeleteFileW(marker.c_str());
    const CommandResult result =
        RunCommand(WithRelay({.commandLine = L"child_probe sleep:6500 marker:" + marker + L" exit:9", .waitLimitMs = 5000}));
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.exitCode.has_value()) << "no exit code once the wait ran out";
    EXPECT_FALSE(FileExists(marker)) << "returned before the child finished";
    EXPECT_TRUE(WaitForFile(marker, 30s)) << "the child was left running, not killed";
    DeleteFileW(marker.c_str());
}

TEST_F(RunCommandTest, UnlimitedWaitOutlastsFiveSeconds)
{
    const CommandResult result = RunCommand(WithRelay({.commandLine = L"child_probe sleep:5600 exit:3010", .showWindow = true}));
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 3010u) << "the Windows Installer may take any time";
}

// Runs RunCommand on its own thread, as the worker does, while this thread pumps the window.
struct GuardedRun {
    std::future<CommandResult> done;
    std::thread thread;

    explicit GuardedRun(CommandSettings settings)
    {
        std::packaged_task<CommandResult()> task([settings] { return RunCommand(settings); });
        done = task.get_future();
        thread = std::thread(std::move(task));
    }

    // If the runner hangs, ending the probe closes the pipe so that the thread can be joined.
    CommandResult Finish(HANDLE probe)
    {
        const bool inTime = done.wait_for(kHangGuard) == std::future_status::ready;
        EXPECT_TRUE(inTime) << "cancellation must end the child tree and let the reader return";
        if (!inTime && probe) TerminateProcess(probe, 99);
        thread.join();
        return done.get();
    }
};

// The file exists a moment before its digits do, so the text is polled rather than the name.
HANDLE OpenProbeFromPidFile(const std::wstring& pidFile)
{
    const auto end = std::chrono::steady_clock::now() + 30s;
    std::string digits;
    while ((digits = ReadFileBytes(pidFile)).empty()) {
        if (std::chrono::steady_clock::now() > end) return nullptr;
        Sleep(20);
    }
    const DWORD pid = std::stoul(digits);
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
}

TEST_F(RunCommandTest, CancelInLinesModeEndsTheChildTreeAndReturns)
{
    const std::wstring pidFile = ScratchDirectory() + L"\\probe.pid";
    const struct Row {
        std::wstring prefix;
        const char* why;
    } rows[] = {
        {L"", "the probe is the child itself"},
        {kCmd, "the probe is cmd.exe's child, as npm is"},
    };
    for (const Row& row : rows) {
        DeleteFileW(pidFile.c_str());
        const std::wstring command =
            std::wstring(row.prefix) + L"child_probe pidfile:" + pidFile + L" count:100000:30";
        GuardedRun run(WithRelay({.commandLine = command, .output = OutputMode::Lines}));
        HANDLE probe = OpenProbeFromPidFile(pidFile);
        if (!probe) {
            ADD_FAILURE() << row.why << ": the probe never wrote its process id";
            Cancel.store(true);
            run.Finish(nullptr);
            continue;
        }

        std::vector<std::wstring> lines;
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (lines.size() < 3 && std::chrono::steady_clock::now() < end) {
            for (std::wstring& line : LogLines(DrainInstallMessages())) lines.push_back(std::move(line));
            Sleep(10);
        }
        Cancel.store(true);
        const CommandResult result = run.Finish(probe);
        for (std::wstring& line : LogLines(DrainInstallMessages())) lines.push_back(std::move(line));

        EXPECT_TRUE(result.started) << row.why;
        EXPECT_EQ(result.exitCode, 1u) << row.why << ": the child is terminated with exit code 1";
        EXPECT_EQ(WaitForSingleObject(probe, 10000), WAIT_OBJECT_0) << row.why << ": the probe is gone too";
        DWORD probeExit = 0;
        GetExitCodeProcess(probe, &probeExit);
        EXPECT_EQ(probeExit, 1u) << row.why << ": ended by the cancellation, with its exit code 1";
        CloseHandle(probe);
        ASSERT_GE(lines.size(), 3u) << row.why;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], L"  line " + std::to_wstring(i + 1)) << row.why << ": in order, none lost";
        Cancel.store(false);
    }
}

TEST_F(RunCommandTest, CancelAlreadySetDropsTheFirstReadInLinesModeOnly)
{
    Cancel.store(true);
    GuardedRun lines(WithRelay({.commandLine = L"child_probe out:first\\n sleep:30000", .output = OutputMode::Lines}));
    const CommandResult stopped = lines.Finish(nullptr);
    EXPECT_EQ(stopped.exitCode, 1u) << "terminated after its first read";
    EXPECT_TRUE(DrainInstallMessages().empty()) << "the read that saw the cancellation is not relayed";
    GuardedRun drain(WithRelay({.commandLine = L"child_probe out:first\\n sleep:30000", .output = OutputMode::Drain}));
    EXPECT_EQ(drain.Finish(nullptr).exitCode, 1u) << "drain honours a flag already set too";

    const struct Row {
        OutputMode mode;
        const std::atomic<bool>* cancel;
        std::string output;
        const char* why;
    } rows[] = {
        {OutputMode::Collect, &Cancel, "a\nb\n", "collect runs to the end"},
        {OutputMode::Drain, nullptr, "", "drain given no flag runs to the end"},
        {OutputMode::None, &Cancel, "", "no pipe, nothing to poll"},
    };
    for (const Row& row : rows) {
        CommandSettings settings =
            WithRelay({.commandLine = L"child_probe out:a\\n sleep:200 out:b\\n exit:4", .output = row.mode});
        settings.cancel = row.cancel;
        const CommandResult result = RunCommand(settings);
        EXPECT_EQ(result.exitCode, 4u) << row.why;
        EXPECT_EQ(result.output, row.output) << row.why;
    }
}

// User plus kernel time of this process: a reader that spins burns a core while it waits.
std::chrono::milliseconds ProcessCpuTime()
{
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; };
    return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
}

TEST_F(RunCommandTest, LimitedWaitInPipeModesReturnsOnTimeAndLeavesTheChildRunning)
{
    const std::wstring pidFile = ScratchDirectory() + L"\\limited.pid";
    const struct Row {
        OutputMode mode;
        std::wstring prefix;
        const wchar_t* actions;
        std::string outputStart;
        uint32_t limitMs;
        const char* why;
    } rows[] = {
        {OutputMode::Collect, L"", L"out:v22\\n sleep:20000", "v22\n", 5000,
         "silent with the pipe open, as a hung node --version; what came in time is kept"},
        {OutputMode::Drain, kCmd, L"sleep:20000", "", 5000,
         "silent through cmd.exe: closing the job must not take the tree down"},
        {OutputMode::Collect, L"", L"count:100000:10", "line 1\r\nline 2\r\n", 2000,
         "a child that writes without end, with a limit of its own"},
    };
    for (const Row& row : rows) {
        DeleteFileW(pidFile.c_str());
        const size_t handlesBefore = HandleCount();
        const auto cpuBefore = ProcessCpuTime();
        const auto start = std::chrono::steady_clock::now();
        GuardedRun run(WithRelay(
            {.commandLine = std::wstring(row.prefix) + L"child_probe pidfile:" + pidFile + L" " + row.actions,
             .output = row.mode,
             .waitLimitMs = row.limitMs}));
        HANDLE probe = OpenProbeFromPidFile(pidFile);
        const CommandResult result = run.Finish(probe);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const auto cpu = ProcessCpuTime() - cpuBefore;
        const std::chrono::milliseconds limit(row.limitMs);

        EXPECT_TRUE(result.started) << row.why;
        EXPECT_FALSE(result.exitCode.has_value()) << row.why << ": no exit code once the wait ran out";
        EXPECT_LT(elapsed, limit + 500ms) << row.why << ": reading is bounded too";
        EXPECT_GE(elapsed, limit - 500ms) << row.why << ": the output is read until the deadline";
        EXPECT_LT(cpu, 1000ms) << row.why << ": the reader waits between polls instead of spinning";
        EXPECT_EQ(result.output.substr(0, row.outputStart.size()), row.outputStart) << row.why;
        if (row.mode == OutputMode::Drain) {
            EXPECT_TRUE(result.output.empty()) << row.why;
        }
        ASSERT_NE(probe, nullptr) << row.why << ": the probe never wrote its process id";
        EXPECT_EQ(WaitForSingleObject(probe, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << row.why << ": left running";
        TerminateProcess(probe, 99);
        EXPECT_EQ(WaitForSingleObject(probe, 10000), WAIT_OBJECT_0) << row.why;
        CloseHandle(probe);
        EXPECT_EQ(HandleCount(), handlesBefore) << row.why << ": the pipe's read end and the job are closed";
    }
    EXPECT_TRUE(DrainInstallMessages().empty());
}

TEST_F(RunCommandTest, CancelEndsASilentChildTreeWithinTwoSeconds)
{
    const std::wstring pidFile = ScratchDirectory() + L"\\silent.pid";
    const struct Row {
        OutputMode mode;
        std::wstring prefix;
        const wchar_t* actions;
        std::vector<std::wstring> lines;
        const char* why;
    } rows[] = {
        {OutputMode::Drain, kCmd, L"sleep:30000", {}, "drain through cmd.exe, as the skills' npm runs"},
        {OutputMode::Drain, L"", L"bulk:1000 sleep:30000", {}, "drain that has read something, then silence"},
        {OutputMode::Lines, kCmd, L"sleep:30000", {}, "lines mode whose child never writes"},
        {OutputMode::Lines, L"", L"out:first\\n sleep:30000", {L"  first"}, "a line relayed, then silence"},
    };
    for (const Row& row : rows) {
        DeleteFileW(pidFile.c_str());
        const size_t handlesBefore = HandleCount();
        GuardedRun run(WithRelay(
            {.commandLine = std::wstring(row.prefix) + L"child_probe pidfile:" + pidFile + L" " + row.actions,
             .output = row.mode}));
        HANDLE probe = OpenProbeFromPidFile(pidFile);
        Sleep(1000);
        const auto flagged = std::chrono::steady_clock::now();
        Cancel.store(true);
        const CommandResult result = run.Finish(probe);
        const auto returned = std::chrono::steady_clock::now() - flagged;
        Cancel.store(false);

        EXPECT_TRUE(result.started) << row.why;
        EXPECT_EQ(result.exitCode, 1u) << row.why << ": the child is terminated with exit code 1";
        EXPECT_LT(returned, 2s) << row.why << ": the flag is seen without any output arriving";
        EXPECT_EQ(LogLines(DrainInstallMessages()), row.lines) << row.why;
        ASSERT_NE(probe, nullptr) << row.why << ": the probe never wrote its process id";
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(2s - returned).count();
        EXPECT_EQ(WaitForSingleObject(probe, left > 0 ? static_cast<DWORD>(left) : 0), WAIT_OBJECT_0)
            << row.why << ": the probe is gone too, within the same 2 s";
        DWORD probeExit = 0;
        GetExitCodeProcess(probe, &probeExit);
        EXPECT_EQ(probeExit, 1u) << row.why << ": ended by the cancellation";
        CloseHandle(probe);
        EXPECT_EQ(HandleCount(), handlesBefore) << row.why << ": the pipe and the job are closed";
    }
}

}  // namespace
