#include "InstallPlan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/Text.h"
#include "base/WindowsNames.h"

// The major version follows the first "v" (else "V") of `node --version`; anything
// unreadable is 0, which never counts as installed.
int NodeMajorVersion(const std::string& output)
{
    size_t letter = output.find('v');
    if (letter == std::string::npos) letter = output.find('V');
    if (letter == std::string::npos) return 0;
    const char* start = output.c_str() + letter + 1;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value > INT32_MAX || value < INT32_MIN) return 0;
    return static_cast<int>(value);
}

std::wstring FirstOutputLine(const std::string& output)
{
    return Utf8ToWide(output.substr(0, output.find_first_of("\r\n")));
}

bool IsSkillToInstall(const ManifestSkill& skill)
{
    return skill.required || skill.selected;
}

int CountSkillsToInstall(const ReleaseManifest& manifest)
{
    int count = 0;
    for (const ManifestSkill& skill : manifest.skills) count += IsSkillToInstall(skill) ? 1 : 0;
    return count;
}

int StepPercent(int stepsDone, int totalSteps)
{
    return stepsDone * 100 / totalSteps;
}

std::wstring WithErrorText(const std::wstring& text, const std::wstring& error)
{
    return error.empty() ? text : text + L" - " + error;
}

std::wstring RetryLine(const RetryPolicy& policy, const std::wstring& error, int attempt)
{
    return WithErrorText(L"  下载失败", error) + policy.retrySuffix + std::to_wstring(attempt) + L"/3)...";
}

std::wstring SkillDisplayName(const ManifestSkill& skill)
{
    return Utf8ToWide(skill.name.empty() ? skill.id : skill.name);
}

// The separator stays even when the user part is empty, as the refreshed PATH always had it.
std::wstring JoinPathValues(const std::wstring& machinePath, const std::wstring& userPath)
{
    return machinePath + L";" + userPath;
}

// Manifest names become paths under our own folders; nothing may climb out of them.
// Windows drops a trailing dot or space from a name and opens device names as devices, so such a part
// would land elsewhere than the check saw.
bool IsContainedRelativePath(const std::string& path)
{
    if (path.empty() || path[0] == '/' || path[0] == '\\') return false;
    if (path.find(':') != std::string::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = path.find_first_of("/\\", start);
        const std::string component = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component == "..") return false;
        const bool endsAsWindowsDrops = !component.empty() && component != "." &&
                                        (component.back() == '.' || component.back() == ' ');
        if (endsAsWindowsDrops || IsDeviceName(Utf8ToWide(component))) return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

std::optional<std::wstring> ManifestNameProblem(const std::string& name)
{
    if (!IsValidUtf8(name)) return L"文件名不是有效的 UTF-8";
    if (!IsContainedRelativePath(name)) return L"文件名无效";
    return std::nullopt;
}

namespace {

// "C:\\x" and "\\\\server\\share" are absolute; "x", "\\x" and "C:x" depend on where the process stands.
bool IsAbsoluteWindowsFolder(const std::wstring& folder)
{
    const bool driveRoot = folder.size() >= 3 && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/');
    const bool share = folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\';
    return driveRoot || share;
}

std::wstring Unquoted(const std::wstring& entry)
{
    if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"') return entry.substr(1, entry.size() - 2);
    return entry;
}

}  // namespace

std::optional<std::filesystem::path> FindOnPath(const std::wstring& pathValue, const std::wstring& fileName,
                                                const std::function<bool(const std::filesystem::path&)>& isFile)
{
    size_t start = 0;
    while (start <= pathValue.size()) {
        const size_t end = std::min(pathValue.find(L';', start), pathValue.size());
        const std::wstring folder = Unquoted(pathValue.substr(start, end - start));
        start = end + 1;
        if (folder.empty() || !IsAbsoluteWindowsFolder(folder)) continue;
        const std::filesystem::path candidate = std::filesystem::path(folder) / fileName;
        if (isFile(candidate)) return candidate;
    }
    return std::nullopt;
}

// A bare first word is searched for, setup.exe's own folder and the current folder first, and an
// unquoted path is tried cut at each space; a quoted full path is taken as it stands.
std::wstring CommandLineOf(const std::filesystem::path& program, const std::wstring& arguments)
{
    return L"\"" + program.wstring() + L"\" " + arguments;
}
