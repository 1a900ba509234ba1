#include "ReleaseCheck.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <map>
#include <set>
#include <utility>

#include "FileFacts.h"
#include "ScannerAgreement.h"
#include "archive/Zip.h"
#include "base/Text.h"
#include "base/WindowsNames.h"
#include "install/InstallPlan.h"

namespace fs = std::filesystem;

namespace {

// A broken browser archive can fail thousands of entries; past a screenful the rest are counted.
constexpr size_t kNamedEntryFailures = 20;

// What the checks need of a package or a skill, as the installer's scanner read it.
struct ListedEntry {
    EntryKind kind;
    std::string id, file, sha256;
    int64_t size;
    bool isArchive;  // the installer extracts it
};

// One line per problem, each starting with what it is about.
struct ProblemList {
    std::vector<std::string>& lines;
    std::string label;

    void add(const std::string& problem) const { lines.push_back(label + ": " + problem); }
};

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The host of "scheme://[user@]host[:port]/...", an IPv6 literal with its brackets.
std::string HostOf(const std::string& url)
{
    const size_t start = url.find("://") + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        return close == std::string::npos ? std::string() : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool IsLoopbackHost(const std::string& host)
{
    const std::string lowered = Lowered(host);
    return lowered == "127.0.0.1" || lowered == "localhost" || lowered == "[::1]";
}

std::vector<ListedEntry> ListedEntries(const ReleaseManifest& scanned)
{
    std::vector<ListedEntry> entries;
    // The installer handles node and playwright by their id, whatever extract says: it runs the one
    // and unpacks the other.
    for (const ManifestPackage& p : scanned.packages) {
        const bool unpacked = p.id == "playwright" || (p.extract && p.id != "node");
        entries.push_back({EntryKind::Package, p.id, p.file, p.sha256, p.size, unpacked});
    }
    for (const ManifestSkill& s : scanned.skills)
        entries.push_back({EntryKind::Skill, s.id, s.file, s.sha256, s.size, true});
    return entries;
}

bool IsDeclaredAbsent(const ListedEntry& entry, const std::vector<DescribedEntry>& declared)
{
    return std::any_of(declared.begin(), declared.end(), [&](const DescribedEntry& d) {
        return d.absent && d.kind == entry.kind && d.id == entry.id && d.file == entry.file;
    });
}

// A folder of our own under the system's temporary folder, removed with everything in it.
struct ScratchFolder {
    fs::path path;

    ScratchFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "quillmere-release.XXXXXX").string();
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};

// Extracts as the installer does, which counts an archive complete only when every entry became a
// file with its CRC-32 checked and at least one file came out.
void CheckArchive(const fs::path& archive, const ProblemList& problems)
{
    const ScratchFolder scratch;
    if (scratch.path.empty()) {
        problems.add("no scratch folder to extract into");
        return;
    }
    const ExtractReport report = ExtractZip(Utf8ToWide(archive.string()), Utf8ToWide((scratch.path / "x").string()));
    if (!report.archive)
        problems.add("not a complete ZIP: " + WideToUtf8(report.archive.error));
    else if (report.filesWritten == 0 && report.failures.empty())
        problems.add("the archive holds no files, which the installer takes as a failed extraction");
    for (size_t i = 0; i < report.failures.size() && i < kNamedEntryFailures; ++i)
        problems.add("entry " + report.failures[i].name + " does not extract: " +
                     WideToUtf8(EntryProblemText(report.failures[i].problem)));
    if (report.failures.size() > kNamedEntryFailures)
        problems.add(std::to_string(report.failures.size() - kNamedEntryFailures) + " more entries do not extract");
}

void CheckHashText(const std::string& sha256, const ProblemList& problems)
{
    if (sha256.empty())
        problems.add("no sha256: a release made by quillmere-release carries one for every file, and without it "
                     "the installer cannot verify the download");
    else if (!IsSha256Text(sha256))
        problems.add("sha256 is not 64 hex digits");
}

void CheckEntry(const fs::path& folder, const ListedEntry& entry, const std::vector<DescribedEntry>& declared,
                std::vector<std::string>& lines)
{
    const ProblemList problems{lines, EntryLabel(entry.kind, entry.id, entry.file)};
    if (entry.kind == EntryKind::Skill && !IsContainedRelativePath(entry.id))
        problems.add("the installer refuses this skill id (absolute, with a drive or climbing out with ..)");
    CheckHashText(entry.sha256, problems);
    // A refused name is never opened: it may point outside the release folder.
    if (!IsContainedRelativePath(entry.file)) {
        problems.add("the installer refuses this file name (empty, absolute, with a drive or climbing out with ..)");
        return;
    }

    const fs::path path = folder / entry.file;
    std::error_code error;
    if (!fs::exists(path, error)) {
        if (!IsDeclaredAbsent(entry, declared)) problems.add("file missing");
        return;
    }
    const std::optional<FileFacts> facts = ReadFileFacts(path);
    if (!facts) {
        problems.add("file cannot be read");
        return;
    }
    if (facts->size != entry.size)
        problems.add("size " + std::to_string(entry.size) + " differs from the file (" + std::to_string(facts->size) +
                     " bytes)");
    if (IsSha256Text(entry.sha256) && Lowered(entry.sha256) != facts->sha256)
        problems.add("sha256 differs from the file");
    if (entry.isArchive) CheckArchive(path, problems);
}

// A skill's id is its folder, so two ids Windows cannot tell apart are one skill twice.
void CheckDuplicateIds(const std::vector<ListedEntry>& entries, std::vector<std::string>& lines)
{
    std::map<std::pair<EntryKind, std::wstring>, std::string> seen;
    for (const ListedEntry& entry : entries) {
        const std::wstring key = entry.kind == EntryKind::Skill ? NameAsWindowsCompares(entry.id) : Utf8ToWide(entry.id);
        const auto [first, added] = seen.try_emplace({entry.kind, key}, entry.id);
        if (added) continue;
        const std::string label = EntryLabel(entry.kind, entry.id, entry.file);
        if (first->second == entry.id)
            lines.push_back(label + ": id " + entry.id + " is listed twice");
        else
            lines.push_back(label + ": id " + entry.id + " names the same folder as skill " + first->second + " on Windows");
    }
}

} // namespace

std::vector<std::string> BaseUrlProblems(const std::string& baseUrl)
{
    std::vector<std::string> problems;
    const bool https = baseUrl.starts_with("https://");
    const bool http = baseUrl.starts_with("http://");
    if (https && HostOf(baseUrl).empty())
        problems.push_back("baseUrl " + baseUrl + " has no host");
    else if (!https && !(http && IsLoopbackHost(HostOf(baseUrl))))
        problems.push_back("baseUrl " + baseUrl + " is not https (plain http only for 127.0.0.1, localhost and [::1])");
    if (!baseUrl.ends_with('/'))
        problems.push_back("baseUrl " + baseUrl + " does not end with / (the installer appends file names to it)");
    return problems;
}

CheckedRelease CheckRelease(const fs::path& folder, const std::string& manifestText,
                            const std::vector<DescribedEntry>& declared)
{
    // No compiled-in default: an empty baseUrl afterwards means the manifest gives none.
    CheckedRelease checked{{manifestText, L"", {}, {}}, {}};
    std::vector<std::string>& lines = checked.problems;
    if (!ParseManifestInto(checked.scanned)) lines.push_back("manifest.json: no package the installer would read");
    const std::string baseUrl =
        WideToUtf8(checked.scanned.baseUrl.empty() ? checked.scanned.refusedBaseUrl : checked.scanned.baseUrl);
    if (!baseUrl.empty())
        for (const std::string& problem : BaseUrlProblems(baseUrl)) lines.push_back("manifest.json: " + problem);
    for (const std::string& problem : ScannerDisagreements(manifestText, checked.scanned)) lines.push_back(problem);

    const std::vector<ListedEntry> entries = ListedEntries(checked.scanned);
    CheckDuplicateIds(entries, lines);
    for (const ListedEntry& entry : entries) CheckEntry(folder, entry, declared, lines);
    return checked;
}
