#include "InstallRun.h"

#include "InstallPlan.h"

namespace fs = std::filesystem;

bool CancelRequested(const InstallRun& run)
{
    return run.job.cancelRequested.load();
}

// The bar moves only when its figure does: every message counts against the window's queue.
void CompleteStep(InstallRun& run)
{
    ++run.stepsDone;
    const int percent = StepPercent(run.stepsDone, run.totalSteps);
    if (percent == run.shownPercent) return;
    run.shownPercent = percent;
    run.events.progress(percent);
}

fs::path InstallDirectory(const InstallRun& run)
{
    return fs::path(run.job.choices.installPath);
}

void LogStepOutcome(const InstallRun& run, const Outcome& outcome, const std::wstring& successLine,
                    const std::wstring& whatFailed)
{
    run.events.log(outcome ? successLine : L"  [警告] " + whatFailed + L": " + outcome.error);
}

void LogRunFailure(const InstallRun& run, const std::wstring& reason)
{
    run.events.log(L"[错误] 安装异常: " + reason);
}
