#pragma once
#include <cstdint>
#include <functional>
#include <string>

using DownloadProgressFn = std::function<void(int64_t bytesDone, int64_t bytesTotal)>;

std::string HttpGetToMemory(const std::wstring& url);
bool DownloadToFile(const std::wstring& url, const std::wstring& destPath, DownloadProgressFn progress, std::wstring* errorText);
