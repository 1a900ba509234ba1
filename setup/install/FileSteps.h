#pragma once
#include <filesystem>

#include "InstallRun.h"
#include "archive/Zip.h"
#include "base/Retry.h"

// The pace at which refused file operations of this run are tried again: its pause, its cancel flag.
RetryPacing PacingOf(const InstallRun& run);
// The platform's file operations, each tried again while another program refuses it for a moment.
FileResult MoveRetried(const InstallRun& run, const std::filesystem::path& from, const std::filesystem::path& to);
FileResult CopyRetried(const InstallRun& run, const std::filesystem::path& from, const std::filesystem::path& to);
FileResult RemoveFileRetried(const InstallRun& run, const std::filesystem::path& file);
FileResult RemoveTreeRetried(const InstallRun& run, const std::filesystem::path& folder);
FileResult CreateFoldersRetried(const InstallRun& run, const std::filesystem::path& folder);
// The check an extraction into destination asks before it writes: whether the declared sizes fit
// the drive's free space; unknown free space lets it go on.
RoomCheck RoomIn(const InstallRun& run, const std::filesystem::path& destination);
// Before anything under folder is replaced: nothing of ours may run from it. While something does,
// the user is asked to close it (重试) or to stop (取消, false).
bool WaitUntilNothingRunsFrom(const InstallRun& run, const std::filesystem::path& folder);

// For the tests only: the match WaitUntilNothingRunsFrom makes.
namespace detail {
// The programs of the list whose file lies under folder, compared as Windows compares names.
std::vector<std::wstring> ProgramsUnder(const std::vector<RunningProgram>& programs, const std::filesystem::path& folder);
}  // namespace detail
