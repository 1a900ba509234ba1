#include "Transfer.h"

#include <system_error>

#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

// Without a Content-Length there is nothing to show, and the detail line keeps its text.
DownloadProgressFn TransferLineReporter(const InstallRun& run, uint32_t attemptStartTick, TransferLineFormat format)
{
    return [&run, attemptStartTick, format](int64_t bytesDone, int64_t bytesTotal) {
        if (bytesTotal <= 0) return;
        const uint32_t elapsed = run.platform.tickCount() - attemptStartTick;
        run.events.detail(format(bytesDone, bytesTotal, elapsed));
    };
}

// Hashes are compared in either case, as the manifest may spell them.
bool SameHash(const std::string& expected, const std::string& actual)
{
    if (expected.size() != actual.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(expected[i]) != lower(actual[i])) return false;
    }
    return true;
}

// A file that is not what the manifest promised is never kept, not even to resume from.
Outcome Verify(const InstallRun& run, const Transfer& transfer)
{
    if (transfer.sha256.empty()) return Success();
    std::string actual;
    if (run.platform.sha256(transfer.local, actual) && SameHash(transfer.sha256, actual)) return Success();
    std::error_code ignored;
    fs::remove(transfer.local, ignored);
    return Failure(L"校验失败");
}

Outcome Attempt(const InstallRun& run, const Transfer& transfer, PartialDownload& partial, TransferLineFormat format)
{
    const uint32_t attemptStartTick = run.platform.tickCount();
    const Outcome downloaded = run.platform.download(transfer.url, transfer.local,
                                                     TransferLineReporter(run, attemptStartTick, format),
                                                     run.job.cancelRequested, partial);
    return downloaded ? Verify(run, transfer) : downloaded;
}

}  // namespace

fs::path LocalDownloadPath(const InstallRun& run, const std::string& file)
{
    return run.downloadDir / Utf8ToWide(file);
}

// Each attempt gets a fresh start tick, so a retry restarts the speed average.
Outcome DownloadWithRetries(const InstallRun& run, const Transfer& transfer, const RetryPolicy& policy,
                            TransferLineFormat format)
{
    PartialDownload partial;
    for (int attempt = 1;; ++attempt) {
        const Outcome outcome = Attempt(run, transfer, partial, format);
        if (outcome) return outcome;
        if (CancelRequested(run) || attempt >= policy.attempts) {
            std::error_code ignored;
            fs::remove(transfer.local, ignored);
            return outcome;
        }
        run.events.log(RetryLine(policy, outcome.error, attempt));
        run.platform.sleep(policy.pauseMs);
    }
}
