#include "Transfer.h"

#include <system_error>

#include "FileSteps.h"
#include "base/Text.h"
#include "net/Progress.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDetailIntervalMs = 100;

// Without a Content-Length there is nothing to show, and the detail line keeps its text. A line per
// chunk would flood the window's message queue, which Windows caps, so lines come at most every
// 100 ms; the line of the last chunk always comes, so the figures end on the true total.
DownloadProgressFn TransferLineReporter(const InstallRun& run, uint32_t attemptStartTick, TransferLineFormat format)
{
    return [&run, attemptStartTick, format, shown = false, lastShownTick = uint32_t{0}](
               int64_t bytesDone, int64_t bytesTotal, int64_t bytesKept) mutable {
        if (bytesTotal <= 0) return;
        const uint32_t now = run.platform.tickCount();
        if (shown && bytesDone < bytesTotal && now - lastShownTick < kDetailIntervalMs) return;
        shown = true;
        lastShownTick = now;
        run.events.detail(format(bytesDone, bytesTotal, bytesDone - bytesKept, now - attemptStartTick));
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

// A file that is not what the manifest promised is never kept, not even to resume from. One that
// could not be read is not called a mismatch.
Outcome Verify(const InstallRun& run, const Transfer& transfer)
{
    if (transfer.sha256.empty()) return Success();
    std::string actual;
    const Outcome hashed = run.platform.sha256(transfer.local, actual);
    if (hashed && SameHash(transfer.sha256, actual)) return Success();
    RemoveFileRetried(run, transfer.local);
    return hashed ? Failure(L"校验失败") : Failure(L"无法读取下载的文件以校验: " + hashed.error);
}

Outcome Attempt(const InstallRun& run, const Transfer& transfer, PartialDownload& partial, TransferLineFormat format)
{
    const uint32_t attemptStartTick = run.platform.tickCount();
    const Outcome downloaded = run.platform.download(transfer.url, transfer.local, KnownDeclaredSize(transfer.declaredSize),
                                                     TransferLineReporter(run, attemptStartTick, format),
                                                     run.job.cancelRequested, partial);
    return downloaded ? Verify(run, transfer) : downloaded;
}

}  // namespace

fs::path LocalDownloadPath(const InstallRun& run, const std::string& file)
{
    return run.downloadDir / Utf8ToWide(file);
}

// Each attempt gets a fresh start tick, so a retry restarts the speed average. The proxy is named
// once per download, and again only if a later attempt goes through another one.
Outcome DownloadWithRetries(const InstallRun& run, const Transfer& transfer, const RetryPolicy& policy,
                            TransferLineFormat format)
{
    // A folder that cannot be made is named by the download that then cannot write into it.
    static_cast<void>(CreateFoldersRetried(run, transfer.local.parent_path()));
    PartialDownload partial;
    std::wstring proxyShown;
    for (int attempt = 1;; ++attempt) {
        const Outcome outcome = Attempt(run, transfer, partial, format);
        if (!partial.proxy.empty() && partial.proxy != proxyShown) {
            proxyShown = partial.proxy;
            run.events.log(L"  通过代理 " + proxyShown);
        }
        if (outcome) return outcome;
        if (CancelRequested(run) || attempt >= policy.attempts || partial.localFileFailed) {
            RemoveFileRetried(run, transfer.local);
            return outcome;
        }
        run.events.log(RetryLine(policy, outcome.error, attempt));
        run.platform.sleep(policy.pauseMs);
    }
}
