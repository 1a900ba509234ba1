#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Outcome.h"

// Told the bytes received so far and the announced total (0 when none was announced).
using DownloadProgressFn = std::function<void(int64_t bytesDone, int64_t bytesTotal)>;

// Windows only: the whole body of a 200 answer; a body cut short is a failure, never a part.
Outcome HttpGetToMemory(const std::wstring& url, std::string& body);
// Windows only: a 200 answer's body into destPath, progress after every chunk; stops once cancel is set
// and never leaves a partial file.
Outcome DownloadToFile(const std::wstring& url, const std::wstring& destPath, const DownloadProgressFn& progress,
                       const std::atomic<bool>& cancel);
