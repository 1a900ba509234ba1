#pragma once
#include <string>

#include "manifest/Manifest.h"

struct RetryPolicy {
    int attempts;
    unsigned pauseMs;
    const wchar_t* retrySuffix;
};

inline constexpr RetryPolicy kPackageRetry = {3, 3000, L"，3秒后重试 ("};
inline constexpr RetryPolicy kSkillRetry = {3, 2000, L"，重试 ("};

void DoInstall();
int NodeMajorVersion(const std::string& output);
std::wstring FirstOutputLine(const std::string& output);
int CountTotalSteps(const ReleaseManifest& manifest);
int StepPercent(int stepsDone, int totalSteps);
bool IsSkillToInstall(const ManifestSkill& skill);
std::wstring WithErrorText(const std::wstring& text, const std::wstring& error);
std::wstring RetryLine(const RetryPolicy& policy, const std::wstring& error, int attempt);
std::wstring SkillDisplayName(const ManifestSkill& skill);
bool IsContainedRelativePath(const std::string& path);
std::wstring JoinPathValues(const std::wstring& machinePath, const std::wstring& userPath);
