#pragma once
#include <filesystem>
#include <string>

#include "InstallPlan.h"
#include "InstallRun.h"

// Formats one transfer line from bytes done, bytes announced and milliseconds since the attempt began.
using TransferLineFormat = std::wstring (*)(int64_t, int64_t, uint32_t);

// Where a manifest file is downloaded to.
std::filesystem::path LocalDownloadPath(const InstallRun& run, const std::string& file);
// Downloads url to local, retrying as the policy says while the user has not cancelled; each attempt
// shows its own transfer lines.
Outcome DownloadWithRetries(const InstallRun& run, const std::wstring& url, const std::filesystem::path& local,
                            const RetryPolicy& policy, TransferLineFormat format);
