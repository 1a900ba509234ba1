#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Windows starts no process in a working folder longer than this (MAX_PATH less the closing
// backslash and the terminator).
inline constexpr size_t kLongestWorkingFolder = 258;

// What becomes of a child's standard output and error.
enum class OutputMode { None, Collect, Lines, Drain };

// One child process to run: its command line and how to treat it.
struct CommandSettings {
    std::wstring commandLine{};
    std::wstring workingDirectory{};  // empty: the installer's own
    OutputMode output = OutputMode::None;
    bool showWindow = false;
    // Return within this time, reading included, leaving a slower child running; none: wait for its end.
    std::optional<uint32_t> waitLimitMs{};
    std::function<void(const std::string&)> onLine{};  // lines mode: each non-empty line, as it arrives
    const std::atomic<bool>* cancel = nullptr;       // lines, drain modes: once set, the child and its tree are stopped
};

// How a child process ended.
struct CommandResult {
    bool started = false;
    std::optional<uint32_t> exitCode;  // empty when the limited wait ran out
    std::string output;                // collect mode only; what arrived in time when the wait ran out
};

// Windows only: starts the child, treats its output as asked and waits for it.
CommandResult RunCommand(const CommandSettings& settings);
