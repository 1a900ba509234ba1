#include "Process.h"

#include <windows.h>

#include "shell/Messages.h"
#include "shell/Text.h"

namespace {

constexpr DWORD kWaitLimitMs = 5000;

struct OutputPipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// Only the write end may reach the child: an inherited read end would keep the pipe
// from ever reporting its end.
bool CreateOutputPipe(OutputPipe& pipe)
{
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    if (!CreatePipe(&pipe.read, &pipe.write, &attributes, 0)) return false;
    SetHandleInformation(pipe.read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void CloseIfOpen(HANDLE& handle)
{
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

// A job lets cancellation reach the grandchildren too: terminating cmd.exe alone leaves
// npm running with the pipe open, and the relay would never see its end.
HANDLE CreateKillOnCloseJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) CloseIfOpen(job);
    return job;
}

struct ChildProcess {
    PROCESS_INFORMATION info = {};
    HANDLE job = nullptr;
};

// Started suspended so that the child is in the job before it can start anything of its own.
bool StartChild(const CommandSettings& settings, const OutputPipe& pipe, ChildProcess& child)
{
    const bool piped = settings.output != OutputMode::None;
    const bool hidden = piped || !settings.showWindow;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = hidden ? SW_HIDE : SW_SHOW;
    if (piped) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdOutput = pipe.write;
        startup.hStdError = pipe.write;
    }
    DWORD flags = hidden ? CREATE_NO_WINDOW : 0;
    if (settings.output == OutputMode::Lines) {
        child.job = CreateKillOnCloseJob();
        if (child.job) flags |= CREATE_SUSPENDED;
    }
    std::wstring commandLine = settings.commandLine;  // CreateProcessW may write into its buffer
    const wchar_t* directory = settings.workingDirectory.empty() ? nullptr : settings.workingDirectory.c_str();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, piped, flags, nullptr, directory, &startup,
                        &child.info)) {
        CloseIfOpen(child.job);
        return false;
    }
    if (child.job && !AssignProcessToJobObject(child.job, child.info.hProcess)) CloseIfOpen(child.job);
    if (flags & CREATE_SUSPENDED) ResumeThread(child.info.hThread);
    return true;
}

// The job's termination reaches what the child started; the child itself ends with code 1 either way.
void TerminateChild(const ChildProcess& child)
{
    TerminateProcess(child.info.hProcess, 1);
    if (child.job) TerminateJobObject(child.job, 1);
}

std::string CollectOutput(HANDLE read)
{
    std::string output;
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(read, buffer, sizeof(buffer) - 1, &count, nullptr) && count > 0)
        output += TextOfRead(buffer, count);
    return output;
}

// Without a reader the child would block once the pipe's buffer is full.
void DrainOutput(HANDLE read)
{
    char buffer[512];
    DWORD count = 0;
    while (ReadFile(read, buffer, sizeof(buffer) - 1, &count, nullptr) && count > 0) {
    }
}

// Cancellation is looked at only after a read, so a silent child runs on until it writes or ends.
void RelayLines(HANDLE read, const ChildProcess& child)
{
    LineSplitter splitter;
    char buffer[512];
    DWORD count = 0;
    while (ReadFile(read, buffer, sizeof(buffer) - 1, &count, nullptr) && count > 0) {
        if (CancelRequested.load()) {
            TerminateChild(child);
            break;
        }
        for (const std::string& line : TakeCompleteLines(splitter, buffer, count)) PostLog(L"  " + Utf8ToWide(line));
    }
    if (!splitter.pending.empty()) PostLog(L"  " + Utf8ToWide(splitter.pending));
}

}  // namespace

// The write end is closed as soon as the child has its copy, so that reads end when the
// child and everything it started have finished writing.
CommandResult RunCommand(const CommandSettings& settings)
{
    CommandResult result;
    OutputPipe pipe;
    if (settings.output != OutputMode::None && !CreateOutputPipe(pipe)) return result;
    ChildProcess child;
    result.started = StartChild(settings, pipe, child);
    CloseIfOpen(pipe.write);
    if (!result.started) {
        CloseIfOpen(pipe.read);
        return result;
    }

    switch (settings.output) {
    case OutputMode::None: break;
    case OutputMode::Collect: result.output = CollectOutput(pipe.read); break;
    case OutputMode::Lines: RelayLines(pipe.read, child); break;
    case OutputMode::Drain: DrainOutput(pipe.read); break;
    }

    if (WaitForSingleObject(child.info.hProcess, settings.waitLimited ? kWaitLimitMs : INFINITE) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(child.info.hProcess, &exitCode)) result.exitCode = exitCode;
    }
    CloseHandle(child.info.hProcess);
    CloseHandle(child.info.hThread);
    CloseIfOpen(pipe.read);
    CloseIfOpen(child.job);
    return result;
}
