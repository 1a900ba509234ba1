#pragma once
#include <functional>
#include <string>

// How a finished installation ended, as the window learns it.
enum class InstallEnd { Succeeded, Failed, CancelledQuietly };

// What the installation tells whoever shows it; the worker's only way to report.
struct InstallEvents {
    std::function<void(const std::wstring&)> status;  // the status line above the bar
    std::function<void(const std::wstring&)> log;     // one more line of the log
    std::function<void(const std::wstring&)> detail;  // the transfer line under the status
    std::function<void(int)> progress;                // the bar, 0 to 100
    std::function<void(InstallEnd)> done;             // the run is over; nothing follows
    std::function<bool(const std::wstring&)> askRetry;  // a question answered 重试 (true) or 取消; waits for it
};
