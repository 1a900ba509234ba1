#include "InstallLog.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include "base/Text.h"

namespace {

std::wstring Masked(std::wstring text, const std::vector<std::wstring>& secrets)
{
    for (const std::wstring& secret : secrets) {
        if (secret.empty()) continue;
        for (size_t at = text.find(secret); at != std::wstring::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), L"***");
    }
    return text;
}

// "2026-12-09 15:30:12.345 " and the text in UTF-8, secrets masked.
std::string LogFileLine(const LocalTime& at, const std::wstring& text, const std::vector<std::wstring>& secrets)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", at.year, at.month, at.day, at.hour,
                  at.minute, at.second, at.millisecond);
    return stamp + WideToUtf8(Masked(text, secrets)) + "\n";
}

}  // namespace

std::wstring LogFileName(const LocalTime& start)
{
    char name[64];
    std::snprintf(name, sizeof name, "install-%04d%02d%02d-%02d%02d%02d.log", start.year, start.month, start.day,
                  start.hour, start.minute, start.second);
    return Utf8ToWide(name);
}

void AppendToLog(InstallLog& log, const LocalTime& at, const std::wstring& text)
{
    if (!log.broken) log.pending += LogFileLine(at, text, log.secrets);
}

// One open and write per flush: the run pays for the log a few times, not once per line.
void FlushLog(InstallLog& log)
{
    if (log.broken || log.pending.empty() || log.path.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directories(log.path.parent_path(), ignored);
    std::ofstream out(log.path, std::ios::binary | std::ios::app);
    if (out) out.write(log.pending.data(), static_cast<std::streamsize>(log.pending.size()));
    if (out) out.close();
    log.broken = !out;
    log.written = log.written || !log.broken;
    log.pending.clear();
}
