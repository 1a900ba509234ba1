#pragma once
#include <filesystem>
#include <string>

#include "InstallJob.h"
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
    std::filesystem::path downloadDir{};
    int totalSteps = 1;
    int stepsDone = 0;
};

// Whether the user has asked to stop.
bool CancelRequested(const InstallRun& run);
// One more step of the plan is done: the bar moves on.
void CompleteStep(InstallRun& run);
// The installation folder the user chose.
std::filesystem::path InstallDirectory(const InstallRun& run);
// For the steps whose failure the installer has always passed over: the line goes to the log
// whatever the outcome says.
void LogWhateverTheOutcome(const InstallRun& run, const Outcome& outcome, const std::wstring& line);
