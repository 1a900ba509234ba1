#include "Process.h"

#include <windows.h>

#include "base/Scoped_win32.h"

namespace {

// The output pipe is polled: a cancellation or the deadline is seen within one poll, and the
// larger buffer keeps a fast writer from stalling while the pipe sits unread between polls.
constexpr DWORD kPollMs = 20;
constexpr DWORD kPipeBufferBytes = 64 * 1024;

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
    if (!CreatePipe(&read, &write, &attributes, kPipeBufferBytes)) return false;
    pipe.read.reset(read);
    pipe.write.reset(write);
    // A child holding the read end too would keep the pipe open after it ended.
    return SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0) != FALSE;
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
    if (settings.output == OutputMode::Lines || settings.output == OutputMode::Drain) {
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
    // A child that cannot be resumed would never run: it is ended and counts as not started.
    if ((flags & CREATE_SUSPENDED) && ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        TerminateProcess(info.hProcess, 1);
        return false;
    }
    return true;
}

// The job's termination reaches what the child started; the child itself ends with code 1 either way.
void TerminateChild(const ChildProcess& child)
{
    TerminateProcess(child.process.get(), 1);
    if (child.job) TerminateJobObject(child.job.get(), 1);
}

enum class ReadEnd { PipeClosed, Cancelled, TimedOut };

// Milliseconds left before the deadline; INFINITE for an unlimited run.
DWORD TimeLeft(const CommandSettings& settings, ULONGLONG deadline)
{
    if (!settings.waitLimitMs) return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The pipe is polled rather than read with a blocking ReadFile, so that a child which keeps
// it open without writing can neither outlast the deadline nor hide a cancellation. Between
// polls the wait is on the process, which wakes us early when it ends; once it has ended
// (its own children may still hold the pipe) a plain sleep keeps the loop from spinning.
template <typename OnRead>
ReadEnd ReadOutput(HANDLE read, const ChildProcess& child, const CommandSettings& settings, ULONGLONG deadline,
                   OnRead onRead)
{
    const bool watchCancel = settings.output == OutputMode::Lines || settings.output == OutputMode::Drain;
    const auto cancelled = [&] { return watchCancel && settings.cancel && settings.cancel->load(); };
    char buffer[4096];
    bool childRunning = true;
    for (;;) {
        if (cancelled()) return ReadEnd::Cancelled;
        const DWORD left = TimeLeft(settings, deadline);
        if (left == 0) return ReadEnd::TimedOut;
        DWORD available = 0;
        if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) {
            // Every writer is gone, so the reads that collect any remainder cannot block.
            if (GetLastError() != ERROR_BROKEN_PIPE) return ReadEnd::PipeClosed;
            DWORD count = 0;
            while (ReadFile(read, buffer, sizeof(buffer), &count, nullptr) && count > 0) onRead(buffer, count);
            return ReadEnd::PipeClosed;
        }
        if (available > 0) {
            DWORD count = 0;
            if (!ReadFile(read, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &count, nullptr) ||
                count == 0)
                return ReadEnd::PipeClosed;
            if (cancelled()) return ReadEnd::Cancelled;  // the read that saw it is dropped
            onRead(buffer, count);
            continue;
        }
        const DWORD pause = left < kPollMs ? left : kPollMs;
        if (!childRunning) Sleep(pause);
        else if (WaitForSingleObject(child.process.get(), pause) == WAIT_OBJECT_0) childRunning = false;
    }
}

// A child left running at the deadline must outlive its job, which would otherwise take it
// down as soon as the job's handle is closed; a job that keeps its limit is never closed.
void LeaveChildRunning(ChildProcess& child)
{
    if (!child.job) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (!SetInformationJobObject(child.job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        static_cast<void>(child.job.release());
}

}  // namespace

// The write end is closed as soon as the child has its copy, so that reads end when the
// child and everything it started have finished writing.
CommandResult RunCommand(const CommandSettings& settings)
{
    const ULONGLONG deadline = GetTickCount64() + settings.waitLimitMs.value_or(0);
    CommandResult result;
    OutputPipe pipe;
    if (settings.output != OutputMode::None && !CreateOutputPipe(pipe)) return result;
    ChildProcess child;
    result.started = StartChild(settings, pipe, child);
    pipe.write.reset();
    if (!result.started) return result;

    ReadEnd end = ReadEnd::PipeClosed;
    LineSplitter splitter;
    const auto relay = [&settings](const std::string& line) {
        if (settings.onLine) settings.onLine(line);
    };
    switch (settings.output) {
    case OutputMode::None: break;
    case OutputMode::Collect:
        end = ReadOutput(pipe.read.get(), child, settings, deadline,
                         [&result](const char* bytes, DWORD count) { result.output += TextOfRead(bytes, count); });
        break;
    case OutputMode::Lines:
        end = ReadOutput(pipe.read.get(), child, settings, deadline, [&](const char* bytes, DWORD count) {
            for (const std::string& line : TakeCompleteLines(splitter, bytes, count)) relay(line);
        });
        if (!splitter.pending.empty()) relay(splitter.pending);
        break;
    case OutputMode::Drain:  // without a reader the child would block once the pipe's buffer is full
        end = ReadOutput(pipe.read.get(), child, settings, deadline, [](const char*, DWORD) {});
        break;
    }
    if (end == ReadEnd::Cancelled) TerminateChild(child);

    // Output cut off at the deadline is incomplete: no exit code vouches for it, even if the child has just ended.
    if (end != ReadEnd::TimedOut &&
        WaitForSingleObject(child.process.get(), TimeLeft(settings, deadline)) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(child.process.get(), &exitCode)) result.exitCode = exitCode;
    } else if (end != ReadEnd::Cancelled) {
        LeaveChildRunning(child);
    }
    return result;
}
