#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "InstallJob.h"
#include "InstallLog.h"
#include "InstallRecord.h"
#include "Platform.h"
#include "base/InstallEvents.h"
#include "base/Outcome.h"

// How a phase, and so the run, ended: decides the last status and whether a done event follows.
enum class RunEnd { Completed, Failed, DownloadFailed, Cancelled, CancelledWithoutDone };

// One installation in progress, seen only by the worker.
struct InstallRun {
    InstallJob& job;
    const InstallPlatform& platform;
    const InstallEvents& events;
    InstallRecord& record;  // what this run created and changed, as it goes
    std::optional<InstallRecord> earlier{};  // the record of an installation already in the folder
    bool foundEarlierInstallation = false;   // a failure then keeps everything; otherwise it is undone
    std::filesystem::path downloadDir{};
    int totalSteps = 1;
    int stepsDone = 0;
    int shownPercent = 0;  // the bar's figure as last reported
    std::vector<std::wstring> warnings{};  // every warning line logged so far, for the summary at the end
    InstallLog log{};
    uint32_t logFlushedAt = 0;  // tick of the log file's last catching up
};

// Whether the user has asked to stop.
bool CancelRequested(const InstallRun& run);
// One more step of the plan is done: the bar moves on.
void CompleteStep(InstallRun& run);
// The installation folder the user chose.
std::filesystem::path InstallDirectory(const InstallRun& run);
// A step that the run goes on after either way: its success line, or a warning with what failed
// and why.
void LogStepOutcome(const InstallRun& run, const Outcome& outcome, const std::wstring& successLine,
                    const std::wstring& whatFailed);
// A failure the run cannot go on after: the error line with its reason.
void LogRunFailure(const InstallRun& run, const std::wstring& reason);
