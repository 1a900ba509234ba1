#pragma once
#include <cstdint>
#include <string>

#include "Http.h"

std::wstring FormatSize(int64_t bytes);
double AverageSpeedMBps(int64_t bytesDone, uint32_t elapsedMs);
std::wstring PackageProgressLine(int64_t bytesDone, int64_t bytesTotal, uint32_t elapsedMs);
std::wstring SkillProgressLine(int64_t bytesDone, int64_t bytesTotal, uint32_t elapsedMs);
DownloadProgressFn PackageDownloadProgress(const uint32_t& attemptStartTick);
DownloadProgressFn SkillDownloadProgress(const uint32_t& attemptStartTick);
