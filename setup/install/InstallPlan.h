#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "manifest/Manifest.h"

// How often a download is tried, the pause between tries and the retry line's ending.
struct RetryPolicy {
    int attempts;
    unsigned pauseMs;
    const wchar_t* retrySuffix;
};

inline constexpr RetryPolicy kPackageRetry = {3, 3000, L"，3秒后重试 ("};
inline constexpr RetryPolicy kSkillRetry = {3, 2000, L"，重试 ("};

// The major version in `node --version` output; 0 when unreadable.
int NodeMajorVersion(const std::string& output);
// The output's first line, as text.
std::wstring FirstOutputLine(const std::string& output);
// The steps of the bar for this manifest: one per package to download and per skill to install,
// and one for each fixed phase.
int CountTotalSteps(const ReleaseManifest& manifest);
// The bar's position after stepsDone of totalSteps.
int StepPercent(int stepsDone, int totalSteps);
// Required skills, and the optional ones the user left ticked.
bool IsSkillToInstall(const ManifestSkill& skill);
// How many skills of the manifest are to be installed.
int CountSkillsToInstall(const ReleaseManifest& manifest);
// text, then " - " and the error when there is one.
std::wstring WithErrorText(const std::wstring& text, const std::wstring& error);
// Why a manifest name (a download or a skill id) cannot become a path of ours, or nothing when it can.
std::optional<std::wstring> ManifestNameProblem(const std::string& name);
// The log line before another attempt.
std::wstring RetryLine(const RetryPolicy& policy, const std::wstring& error, int attempt);
// The skill's name, or its id when it has none.
std::wstring SkillDisplayName(const ManifestSkill& skill);
// Whether a manifest name stays inside the folder it is joined to.
bool IsContainedRelativePath(const std::string& path);
// The refreshed PATH: the machine's part, a separator, the user's part.
std::wstring JoinPathValues(const std::wstring& machinePath, const std::wstring& userPath);
// The command line that starts program by its full path, quoted, followed by the arguments.
std::wstring CommandLineOf(const std::filesystem::path& program, const std::wstring& arguments);
// The first absolute folder of a PATH value that holds fileName, as isFile tells; relative entries
// (the current folder among them) never count.
std::optional<std::filesystem::path> FindOnPath(const std::wstring& pathValue, const std::wstring& fileName,
                                                const std::function<bool(const std::filesystem::path&)>& isFile);
