#pragma once
#include <filesystem>
#include <string>
#include <vector>

// A moment in local time, to the millisecond.
struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The installation's log file: what the progress page showed, with time stamps, for whoever helps
// the user afterwards. Lines are kept until the next flush.
struct InstallLog {
    std::filesystem::path path;
    std::vector<std::wstring> secrets;  // texts that never reach the file (the API keys)
    std::string pending;
    bool written = false;  // at least one flush reached the file
    bool broken = false;   // a flush failed: the log is given up, the installation goes on
};

// "install-20261209-153012.log", named by the run's start.
std::wstring LogFileName(const LocalTime& start);
// Keeps one line for the next flush, time-stamped to the millisecond, secrets masked.
void AppendToLog(InstallLog& log, const LocalTime& at, const std::wstring& text);
// Writes the kept lines to the end of the file, creating its folder when needed.
void FlushLog(InstallLog& log);
