#include "ReleaseDescription.h"

#include <charconv>
#include <optional>
#include <utility>

#include "base/Utf8.h"
#include "install/InstallPlan.h"
#include "manifest/Manifest.h"

namespace {

constexpr const char* kPackageForm = "package ID FILE [extract] | DESC";
constexpr const char* kSkillForm = "skill ID FILE [required] | NAME | DESC";

// Keeps the reason and answers false, so that each check reads as one return.
bool Refused(std::string& why, std::string reason)
{
    why = std::move(reason);
    return false;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        const size_t end = text.find_first_of(" \t", at);
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

std::optional<int64_t> ParseSize(const std::string& digits)
{
    int64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || digits[0] == '-' || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

// Reads the words after ID and FILE; false with why when one is not understood.
bool ReadFlags(const std::vector<std::string>& words, DescribedEntry& entry, std::string& why)
{
    bool sizeGiven = false;
    for (size_t i = 3; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "extract" && entry.kind == EntryKind::Package) {
            entry.extract = true;
        } else if (word == "required" && entry.kind == EntryKind::Skill) {
            entry.required = true;
        } else if (word == "absent") {
            entry.absent = true;
        } else if (word.starts_with("size=")) {
            const std::optional<int64_t> size = ParseSize(word.substr(5));
            if (!size) return Refused(why, "size= takes a number of bytes");
            entry.size = *size;
            sizeGiven = true;
        } else if (word.starts_with("sha256=")) {
            entry.sha256 = word.substr(7);
            if (!IsSha256Text(entry.sha256)) return Refused(why, "sha256= takes 64 hex digits");
        } else {
            return Refused(why, "unknown word " + word);
        }
    }
    // A file on the server is measured; only an absent one needs its published size and hash.
    if (entry.absent && (!sizeGiven || entry.sha256.empty()))
        return Refused(why, "absent needs size=BYTES and sha256=HEX, as the vendor published them");
    if (!entry.absent && (sizeGiven || !entry.sha256.empty()))
        return Refused(why, "size= and sha256= go only with absent; otherwise they come from the file");
    return true;
}

// Splits "NAME | DESC" for a skill, or takes the whole rest as a package's DESC.
bool ReadTexts(const std::string& rest, DescribedEntry& entry, std::string& why)
{
    if (entry.kind == EntryKind::Package) {
        entry.desc = Trimmed(rest);
    } else {
        const size_t bar = rest.find('|');
        if (bar == std::string::npos) return Refused(why, std::string("expected ") + kSkillForm);
        entry.name = Trimmed(rest.substr(0, bar));
        entry.desc = Trimmed(rest.substr(bar + 1));
        if (entry.name.empty()) return Refused(why, "the skill has no name");
    }
    if (entry.desc.empty()) return Refused(why, "no description after |");
    return true;
}

bool CheckTexts(const DescribedEntry& entry, std::string& why)
{
    for (const std::string* text : {&entry.id, &entry.file, &entry.name, &entry.desc})
        if (!IsWritableText(*text))
            return Refused(why, "\"" + *text + "\" is not UTF-8 or holds a NUL character, which the installer "
                                     "cannot read back");
    if (!IsContainedRelativePath(entry.file)) return Refused(why, "the installer refuses the file name " + entry.file);
    if (entry.kind == EntryKind::Skill && !IsContainedRelativePath(entry.id))
        return Refused(why, "the installer refuses the skill id " + entry.id);
    return true;
}

bool ReadEntry(const std::string& line, DescribedEntry& entry, std::string& why)
{
    const size_t bar = line.find('|');
    const std::vector<std::string> words = Words(line.substr(0, bar));
    if (words.empty()) return Refused(why, std::string("expected ") + kPackageForm + " or " + kSkillForm);
    if (words[0] != "package" && words[0] != "skill")
        return Refused(why, "a line starts with package or skill, not " + words[0]);
    entry.kind = words[0] == "package" ? EntryKind::Package : EntryKind::Skill;
    const char* form = entry.kind == EntryKind::Package ? kPackageForm : kSkillForm;
    if (words.size() < 3 || bar == std::string::npos) return Refused(why, std::string("expected ") + form);
    entry.id = words[1];
    entry.file = words[2];
    return ReadFlags(words, entry, why) && ReadTexts(line.substr(bar + 1), entry, why) && CheckTexts(entry, why);
}

// "version TEXT": the release's version, shown by Windows beside the installed program. True when the
// line is a version line; why then says what is wrong with it, if anything.
bool ReadVersion(const std::string& line, ReleaseDescription& description, std::string& why)
{
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0] != "version") return false;
    const std::string text = Trimmed(Trimmed(line).substr(7));
    if (text.empty())
        why = "expected version TEXT";
    else if (!description.version.empty())
        why = "a second version line";
    else if (!IsWritableText(text) || text.find_first_of("\"\\") != std::string::npos)
        why = "the version \"" + text + "\" is not plain UTF-8 text";
    else
        description.version = text;
    return true;
}

bool IsSkipped(const std::string& line)
{
    const std::string trimmed = Trimmed(line);
    return trimmed.empty() || trimmed[0] == '#';
}

} // namespace

ReleaseDescription ParseReleaseDescription(const std::string& text)
{
    ReleaseDescription description;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.ends_with('\r')) line.pop_back();
        if (IsSkipped(line)) continue;
        std::string why;
        if (ReadVersion(line, description, why)) {
            if (!why.empty())
                description.errors.push_back(std::string(kDescriptionFileName) + ":" + std::to_string(number) + ": " + why);
            continue;
        }
        DescribedEntry entry;
        entry.line = number;
        if (ReadEntry(line, entry, why))
            description.entries.push_back(std::move(entry));
        else
            description.errors.push_back(std::string(kDescriptionFileName) + ":" + std::to_string(number) + ": " + why);
    }
    return description;
}

bool IsWritableText(const std::string& text)
{
    if (text.find('\0') != std::string::npos) return false;
    // Decoding replaces what is not UTF-8, so only valid text survives the round trip unchanged.
    return EncodeUtf8(DecodeUtf8(text)) == text;
}

std::string EntryLabel(EntryKind kind, const std::string& id, const std::string& file)
{
    return (file.empty() ? "(no file)" : file) + (kind == EntryKind::Package ? " (package " : " (skill ") + id + ")";
}
