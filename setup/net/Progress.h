#pragma once
#include <cstdint>
#include <string>

// A byte count in binary units: "%lld B", "%.1f KB", "%.1f MB", "%.2f GB".
std::wstring FormatSize(int64_t bytes);
// A size the manifest declares, when it can be one: 0 for none (0 or less) and for more than 1 TiB.
int64_t KnownDeclaredSize(int64_t declared);
// A declared size for the user: FormatSize, or "未知大小" when it is not known.
std::wstring DeclaredSizeText(int64_t declared);
// MB per second over the whole attempt so far; 0 before any time has passed.
double AverageSpeedMBps(int64_t bytesDone, uint32_t elapsedMs);
// A package's transfer line: done / total (percent)  speed, the speed of the bytes received in elapsedMs.
std::wstring PackageProgressLine(int64_t bytesDone, int64_t bytesTotal, int64_t bytesReceived, uint32_t elapsedMs);
// A skill's transfer line: done / total  speed, without a percentage.
std::wstring SkillProgressLine(int64_t bytesDone, int64_t bytesTotal, int64_t bytesReceived, uint32_t elapsedMs);
