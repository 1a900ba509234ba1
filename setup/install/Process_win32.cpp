#include "Process.h"

#include <windows.h>

#include "base/Scoped_win32.h"

namespace {

constexpr DWORD kWaitLimitMs = 5000;

struct OutputPipe {
    ScopedHandle read;
    ScopedHandle write;
};

// Only the write end may reach the child: an inherited read end would keep the pipe
// from ever reporting its end.
bool CreateOutputPipe(OutputPipe& pipe)
{
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &attributes, 0)) return false;
    pipe.read.reset(read);
    pipe.write.reset(write);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// A job lets cancellation reach the grandchildren too: terminating cmd.exe alone leaves
// npm running with the pipe open, and the relay would never see its end.
ScopedHandle CreateKillOnCloseJob()
{
    ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) job.reset();
    return job;
}

struct ChildProcess {
    ScopedHandle process;
    ScopedHandle thread;
    ScopedHandle job;
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
        startup.hStdOutput = pipe.write.get();
        startup.hStdError = pipe.write.get();
    }
    DWORD flags = hidden ? CREATE_NO_WINDOW : 0;
    if (settings.output == OutputMode::Lines) {
        child.job = CreateKillOnCloseJob();
        if (child.job) flags |= CREATE_SUSPENDED;
    }
    std::wstring commandLine = settings.commandLine;  // CreateProcessW may write into its buffer
    const wchar_t* directory = settings.workingDirectory.empty() ? nullptr : settings.workingDirectory.c_str();
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, piped, flags, nullptr, directory, &startup,
                        &info)) {
        child.job.reset();
        return false;
    }
    child.process.reset(info.hProcess);
    child.thread.reset(info.hThread);
    if (child.job && !AssignProcessToJobObject(child.job.get(), info.hProcess)) child.job.reset();
    if (flags & CREATE_SUSPENDED) ResumeThread(info.hThread);
    return true;
}

// The job's termination reaches what the child started; the child itself ends with code 1 either way.
void TerminateChild(const ChildProcess& child)
{
    TerminateProcess(child.process.get(), 1);
    if (child.job) TerminateJobObject(child.job.get(), 1);
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
void RelayLines(HANDLE read, const ChildProcess& child, const CommandSettings& settings)
{
    const auto cancelled = [&settings] { return settings.cancel && settings.cancel->load(); };
    const auto relay = [&settings](const std::string& line) {
        if (settings.onLine) settings.onLine(line);
    };
    LineSplitter splitter;
    char buffer[512];
    DWORD count = 0;
    while (ReadFile(read, buffer, sizeof(buffer) - 1, &count, nullptr) && count > 0) {
        if (cancelled()) {
            TerminateChild(child);
            break;
        }
        for (const std::string& line : TakeCompleteLines(splitter, buffer, count)) relay(line);
    }
    if (!splitter.pending.empty()) relay(splitter.pending);
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
    pipe.write.reset();
    if (!result.started) return result;

    switch (settings.output) {
    case OutputMode::None: break;
    case OutputMode::Collect: result.output = CollectOutput(pipe.read.get()); break;
    case OutputMode::Lines: RelayLines(pipe.read.get(), child, settings); break;
    case OutputMode::Drain: DrainOutput(pipe.read.get()); break;
    }

    if (WaitForSingleObject(child.process.get(), settings.waitLimited ? kWaitLimitMs : INFINITE) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(child.process.get(), &exitCode)) result.exitCode = exitCode;
    }
    return result;
}
