// quillmere-release: the vendor's release tool.
//   quillmere-release make DIR [--base-url URL]   writes DIR/manifest.json from DIR/release.txt
//   quillmere-release check DIR                    checks DIR as the installer would meet it
// Exit status: 0 done and nothing wrong, 1 problems (one line each), 2 wrong command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "FileFacts.h"
#include "ManifestText.h"
#include "ReleaseCheck.h"
#include "ReleaseDescription.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifestFileName = "manifest.json";
constexpr const char* kUsage = "usage: quillmere-release make DIR [--base-url URL]\n"
                               "       quillmere-release check DIR\n";

std::optional<std::string> ReadWholeFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

bool WriteAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Written beside the target and renamed over it, so that a server never hands out half a manifest.
bool WriteAtomically(const fs::path& target, const std::string& text)
{
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    // mkstemp makes the file private; a served manifest has to be readable by the web server.
    bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && std::rename(temporary.c_str(), target.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

// The entries release.txt declares, or its errors; no file means no declarations.
ReleaseDescription DeclaredEntries(const fs::path& folder)
{
    const std::optional<std::string> text = ReadWholeFile(folder / kDescriptionFileName);
    return text ? ParseReleaseDescription(*text) : ReleaseDescription{};
}

// Size and hash from the file, or as declared for one the server lacks on purpose; false with the
// reason when neither applies.
bool Measure(const fs::path& folder, DescribedEntry& entry, std::string& why)
{
    const fs::path path = folder / entry.file;
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (entry.absent) {
        if (exists) why = "declared absent, but the file is there";
        return !exists;
    }
    const std::optional<FileFacts> facts = ReadFileFacts(path);
    if (!facts) {
        why = exists ? "file cannot be read"
                     : "file missing (if the server lacks it on purpose, declare it absent with the published size= and sha256=)";
        return false;
    }
    entry.size = facts->size;
    entry.sha256 = facts->sha256;
    return true;
}

ManifestPackage PackageOf(const DescribedEntry& e)
{
    return {.id = e.id, .file = e.file, .desc = e.desc, .size = e.size, .extract = e.extract, .sha256 = e.sha256};
}

ManifestSkill SkillOf(const DescribedEntry& e)
{
    return {.id = e.id, .file = e.file, .name = e.name, .desc = e.desc, .size = e.size, .required = e.required,
            .sha256 = e.sha256};
}

std::string ManifestFor(const ReleaseDescription& description, const std::string& baseUrl)
{
    const std::vector<DescribedEntry>& entries = description.entries;
    std::vector<ManifestPackage> packages;
    std::vector<ManifestSkill> skills;
    for (const DescribedEntry& entry : entries) {
        if (entry.kind == EntryKind::Package)
            packages.push_back(PackageOf(entry));
        else
            skills.push_back(SkillOf(entry));
    }
    return ManifestJson(description.version, baseUrl, packages, skills);
}

std::vector<std::string> BaseUrlArgumentProblems(const std::string& baseUrl)
{
    if (baseUrl.empty()) return {};
    if (!IsWritableText(baseUrl)) return {"--base-url: not UTF-8 or holds a NUL character"};
    std::vector<std::string> problems;
    for (const std::string& problem : BaseUrlProblems(baseUrl)) problems.push_back("--base-url: " + problem);
    return problems;
}

int ReportProblems(const std::vector<std::string>& problems, std::ostream& out)
{
    for (const std::string& problem : problems) out << problem << '\n';
    return problems.empty() ? 0 : 1;
}

int Make(const fs::path& folder, const std::string& baseUrl)
{
    const std::optional<std::string> text = ReadWholeFile(folder / kDescriptionFileName);
    if (!text) return ReportProblems({(folder / kDescriptionFileName).string() + ": cannot be read"}, std::cerr);
    ReleaseDescription description = ParseReleaseDescription(*text);
    std::vector<std::string> problems = description.errors;
    for (const std::string& problem : BaseUrlArgumentProblems(baseUrl)) problems.push_back(problem);
    for (DescribedEntry& entry : description.entries) {
        std::string why;
        if (!Measure(folder, entry, why)) problems.push_back(EntryLabel(entry.kind, entry.id, entry.file) + ": " + why);
    }
    if (ReportProblems(problems, std::cerr) != 0) return 1;

    // The new manifest goes out only if check would pass it.
    const std::string manifest = ManifestFor(description, baseUrl);
    const CheckedRelease checked = CheckRelease(folder, manifest, description.entries);
    if (ReportProblems(checked.problems, std::cerr) != 0) {
        std::cerr << "manifest.json not written\n";
        return 1;
    }
    const fs::path target = folder / kManifestFileName;
    if (!WriteAtomically(target, manifest)) return ReportProblems({target.string() + ": cannot be written"}, std::cerr);
    std::cout << "wrote " << target.string() << ": " << checked.scanned.packages.size() << " packages, "
              << checked.scanned.skills.size() << " skills\n";
    return 0;
}

int Check(const fs::path& folder)
{
    const fs::path manifestPath = folder / kManifestFileName;
    const std::optional<std::string> manifest = ReadWholeFile(manifestPath);
    if (!manifest) return ReportProblems({manifestPath.string() + ": cannot be read"}, std::cout);
    const ReleaseDescription declared = DeclaredEntries(folder);
    CheckedRelease checked = CheckRelease(folder, *manifest, declared.entries);
    checked.problems.insert(checked.problems.begin(), declared.errors.begin(), declared.errors.end());
    if (ReportProblems(checked.problems, std::cout) != 0) return 1;
    std::cout << folder.string() << ": " << checked.scanned.packages.size() << " packages, "
              << checked.scanned.skills.size() << " skills, no problems\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "check") return Check(args[1]);
    if (args.size() == 2 && args[0] == "make") return Make(args[1], "");
    if (args.size() == 4 && args[0] == "make" && args[2] == "--base-url") return Make(args[1], args[3]);
    std::cerr << kUsage;
    return 2;
}
