#pragma once
#include <filesystem>

#include "InstallRun.h"
#include "archive/Zip.h"
#include "base/Outcome.h"
#include "base/Retry.h"

// The pace at which refused file operations of this run are tried again: its pause, its cancel flag.
RetryPacing PacingOf(const InstallRun& run);
// The platform's file operations, each tried again while another program refuses it for a moment.
FileResult MoveRetried(const InstallRun& run, const std::filesystem::path& from, const std::filesystem::path& to);
FileResult RemoveFileRetried(const InstallRun& run, const std::filesystem::path& file);
FileResult RemoveTreeRetried(const InstallRun& run, const std::filesystem::path& folder);
FileResult CreateFoldersRetried(const InstallRun& run, const std::filesystem::path& folder);
// The same, each noting in the run's record what it made: the folders that were missing, the file
// and whether one stood there before.
FileResult CreateFoldersRecorded(const InstallRun& run, const std::filesystem::path& folder);
FileResult CopyRecorded(const InstallRun& run, const std::filesystem::path& from, const std::filesystem::path& to);
Outcome WriteRecorded(const InstallRun& run, const std::filesystem::path& file, const std::string& bytes);
// The files and folders an extraction made, into the run's record.
void RecordExtraction(const InstallRun& run, const ExtractReport& report);
// Writes the record of this run, merged with the earlier installation's, into the installation folder.
Outcome SaveInstallRecord(const InstallRun& run);
// Whether anything stands under that name, a broken link included.
bool Exists(const std::filesystem::path& path);
// The check an extraction into destination asks before it writes: whether the declared sizes fit
// the drive's free space; unknown free space lets it go on.
RoomCheck RoomIn(const InstallRun& run, const std::filesystem::path& destination);
// Before anything under folder is replaced: nothing of ours may run from it. While something does,
// the user is asked to close it (重试) or to stop (取消, false).
bool WaitUntilNothingRunsFrom(const InstallRun& run, const std::filesystem::path& folder);
// The same wait for any task: question is the box's text before the list of running programs.
bool WaitUntilNothingRunsFrom(const InstallPlatform& platform, const InstallEvents& events,
                              const std::filesystem::path& folder, const std::wstring& question);

// For the tests only: the match WaitUntilNothingRunsFrom makes.
namespace detail {
// The programs of the list whose file lies under folder, compared as Windows compares names.
std::vector<std::wstring> ProgramsUnder(const std::vector<RunningProgram>& programs, const std::filesystem::path& folder);
}  // namespace detail
