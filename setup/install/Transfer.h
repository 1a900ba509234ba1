#pragma once
#include <filesystem>
#include <string>

#include "InstallPlan.h"
#include "InstallRun.h"

// Formats one transfer line from bytes done, bytes announced, bytes this attempt received and
// milliseconds since it began.
using TransferLineFormat = std::wstring (*)(int64_t, int64_t, int64_t, uint32_t);

// One manifest file to fetch: where from, where to, the SHA-256 it must have (empty: none given)
// and the size the manifest declares (0 or less: unknown).
struct Transfer {
    std::wstring url;
    std::filesystem::path local;
    std::string sha256;
    int64_t declaredSize = 0;
};

// Where a manifest file is downloaded to.
std::filesystem::path LocalDownloadPath(const InstallRun& run, const std::string& file);
// Downloads the file, retrying as the policy says while the user has not cancelled; a retry after a
// broken transfer fetches only the rest, and a file whose hash differs counts as a failed attempt.
// Each attempt shows its own transfer lines; when the last one fails nothing of the file is left.
Outcome DownloadWithRetries(const InstallRun& run, const Transfer& transfer, const RetryPolicy& policy,
                            TransferLineFormat format);
