#include "Progress.h"

#include <cstdio>

namespace {

// Every text built here is ASCII, so it is formatted narrow (one printf behaviour on
// every C runtime) and widened byte by byte.
std::wstring Widen(const char* ascii)
{
    std::wstring wide;
    for (; *ascii; ++ascii) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*ascii)));
    return wide;
}

std::string FormatSizeAscii(int64_t bytes)
{
    char buffer[64];
    if (bytes < 1024)
        std::snprintf(buffer, sizeof buffer, "%lld B", static_cast<long long>(bytes));
    else if (bytes < 1048576)
        std::snprintf(buffer, sizeof buffer, "%.1f KB", static_cast<double>(bytes) * (1.0 / 1024));
    else if (bytes < 1073741824)
        std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(bytes) * (1.0 / 1048576));
    else
        std::snprintf(buffer, sizeof buffer, "%.2f GB", static_cast<double>(bytes) * (1.0 / 1073741824));
    return buffer;
}

}  // namespace

// Binary units; a value just under a boundary stays in the smaller unit (1048575 is 1024.0 KB).
std::wstring FormatSize(int64_t bytes)
{
    return Widen(FormatSizeAscii(bytes).c_str());
}

int64_t KnownDeclaredSize(int64_t declared)
{
    constexpr int64_t kLargestBelievable = int64_t{1} << 40;
    return declared > 0 && declared <= kLargestBelievable ? declared : 0;
}

std::wstring DeclaredSizeText(int64_t declared)
{
    return KnownDeclaredSize(declared) > 0 ? FormatSize(declared) : L"未知大小";
}

// The average over the whole attempt, not a momentary rate.
double AverageSpeedMBps(int64_t bytesDone, uint32_t elapsedMs)
{
    if (elapsedMs == 0) return 0.0;
    return static_cast<double>(bytesDone) * (1.0 / 1024) * (1.0 / 1024) / (elapsedMs / 1000.0);
}

// Not clamped: a body longer than its announced size shows more than 100%.
std::wstring PackageProgressLine(int64_t bytesDone, int64_t bytesTotal, int64_t bytesReceived, uint32_t elapsedMs)
{
    const int percent = static_cast<int>(bytesDone * 100 / bytesTotal);
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%s / %s (%d%%)  %.1f MB/s", FormatSizeAscii(bytesDone).c_str(),
                  FormatSizeAscii(bytesTotal).c_str(), percent, AverageSpeedMBps(bytesReceived, elapsedMs));
    return Widen(buffer);
}

std::wstring SkillProgressLine(int64_t bytesDone, int64_t bytesTotal, int64_t bytesReceived, uint32_t elapsedMs)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%s / %s  %.1f MB/s", FormatSizeAscii(bytesDone).c_str(),
                  FormatSizeAscii(bytesTotal).c_str(), AverageSpeedMBps(bytesReceived, elapsedMs));
    return Widen(buffer);
}
