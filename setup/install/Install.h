#pragma once
#include "InstallJob.h"
#include "Platform.h"
#include "base/InstallEvents.h"

// The worker: runs the whole installation of job, asking platform for every Windows service and
// telling events what happens; ends with exactly one final status, then one done event that says
// how the run ended.
void DoInstall(InstallJob& job, const InstallPlatform& platform, const InstallEvents& events);

// For the tests only: the plan the worker's bar follows.
namespace detail {
// The steps of the bar for this manifest: one per package to download and per skill to install,
// and one for each fixed phase.
int CountTotalSteps(const ReleaseManifest& manifest);
}  // namespace detail
