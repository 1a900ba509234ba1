#include "Transfer.h"

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

}  // namespace

fs::path LocalDownloadPath(const InstallRun& run, const std::string& file)
{
    return run.downloadDir / Utf8ToWide(file);
}

// Each attempt gets a fresh start tick, so a retry restarts the speed average.
Outcome DownloadWithRetries(const InstallRun& run, const std::wstring& url, const fs::path& local,
                            const RetryPolicy& policy, TransferLineFormat format)
{
    for (int attempt = 1;; ++attempt) {
        const uint32_t attemptStartTick = run.platform.tickCount();
        Outcome outcome =
            run.platform.download(url, local, TransferLineReporter(run, attemptStartTick, format), run.job.cancelRequested);
        if (outcome || CancelRequested(run) || attempt >= policy.attempts) return outcome;
        run.events.log(RetryLine(policy, outcome.error, attempt));
        run.platform.sleep(policy.pauseMs);
    }
}
