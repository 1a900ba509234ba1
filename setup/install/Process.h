#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class OutputMode { None, Collect, Lines, Drain };

struct CommandSettings {
    std::wstring commandLine;
    std::wstring workingDirectory;  // empty: the installer's own
    OutputMode output = OutputMode::None;
    bool showWindow = false;
    bool waitLimited = false;  // wait at most 5000 ms instead of until the child ends
};

struct CommandResult {
    bool started = false;
    std::optional<uint32_t> exitCode;  // empty when the limited wait ran out
    std::string output;                // collect mode only
};

struct LineSplitter {
    std::string pending;
};

std::string TextOfRead(const char* bytes, size_t count);
std::vector<std::string> TakeCompleteLines(LineSplitter& splitter, const char* bytes, size_t count);
CommandResult RunCommand(const CommandSettings& settings);
