#include "InstallRecord.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr char kHeader[] = "quillmere-install-record 1";

// Fields are split at tabs and lines at line feeds; those, other control characters and the escape
// character itself are written as %XX, so that a path reads as it is.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || c == '%') {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", byte);
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

// Paths travel as UTF-8 on every system, whatever its narrow encoding.
std::string PathText(const fs::path& path)
{
    const std::u8string utf8 = path.u8string();
    return Escaped(std::string(utf8.begin(), utf8.end()));
}

fs::path TextPath(const std::string& utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Text(const std::wstring& text)
{
    return Escaped(WideToUtf8(text));
}

const char* BeforeWord(bool existedBefore)
{
    return existedBefore ? "replaced" : "new";
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

template <typename T>
void AddOnce(std::vector<T>& list, T item)
{
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

// One line into the record; false when it is damaged. Words this version does not know are skipped,
// so that a later installer's record still lets this uninstaller remove what it knows.
bool ReadLine(InstallRecord& record, const std::vector<std::string>& raw)
{
    std::vector<std::string> fields;
    for (const std::string& field : raw) {
        std::optional<std::string> text = Unescaped(field);
        if (!text) return false;
        fields.push_back(std::move(*text));
    }
    const std::string& word = fields[0];
    const size_t n = fields.size();
    const auto before = [](const std::string& text) -> std::optional<bool> {
        if (text == "new") return false;
        if (text == "replaced") return true;
        return std::nullopt;
    };
    if (word == "install" && n == 2) record.installDir = TextPath(fields[1]);
    else if (word == "state" && n == 2) record.stateDir = TextPath(fields[1]);
    else if (word == "downloads" && n == 2) record.downloads = TextPath(fields[1]);
    else if (word == "folder" && n == 2) record.folders.push_back(TextPath(fields[1]));
    else if (word == "tree" && n == 2) record.trees.push_back(TextPath(fields[1]));
    else if (word == "skill" && n == 2) record.skills.push_back(TextPath(fields[1]));
    else if (word == "playwright" && n == 2) record.playwright = TextPath(fields[1]);
    else if (word == "node" && n == 2 && fields[1] == "installed") record.nodeInstalled = true;
    else if (word == "key" && n == 2) record.keys.push_back(Utf8ToWide(fields[1]));
    else if ((word == "file" || word == "shortcut") && n == 3) {
        const std::optional<bool> existed = before(fields[1]);
        if (!existed) return false;
        const RecordedFile file{TextPath(fields[2]), *existed};
        if (word == "file") record.files.push_back(file);
        else record.shortcut = file;
    } else if (word == "value" && n >= 4) {
        RecordedValue value{Utf8ToWide(fields[1]), Utf8ToWide(fields[2]), std::nullopt, false};
        if (fields[3] == "was" && n == 5) value.previous = Utf8ToWide(fields[4]);
        else if (fields[3] == "secret" && n == 4) value.secret = true;
        else if (fields[3] != "absent" || n != 4) return false;
        record.values.push_back(std::move(value));
    } else if (word == "file" || word == "shortcut" || word == "value" || word == "install" || word == "folder") {
        return false;
    }
    return true;
}

}  // namespace

std::string InstallRecordText(const InstallRecord& record)
{
    std::string text = std::string(kHeader) + "\n";
    const auto line = [&text](std::initializer_list<std::string> fields) {
        bool first = true;
        for (const std::string& field : fields) {
            text += (first ? "" : "\t") + field;
            first = false;
        }
        text += "\n";
    };
    line({"install", PathText(record.installDir)});
    if (!record.stateDir.empty()) line({"state", PathText(record.stateDir)});
    if (!record.downloads.empty()) line({"downloads", PathText(record.downloads)});
    for (const fs::path& folder : record.folders) line({"folder", PathText(folder)});
    for (const RecordedFile& file : record.files) line({"file", BeforeWord(file.existedBefore), PathText(file.path)});
    for (const fs::path& tree : record.trees) line({"tree", PathText(tree)});
    for (const fs::path& skill : record.skills) line({"skill", PathText(skill)});
    for (const std::wstring& key : record.keys) line({"key", Text(key)});
    for (const RecordedValue& value : record.values) {
        if (!value.previous) line({"value", Text(value.subkey), Text(value.name), "absent"});
        else if (value.secret) line({"value", Text(value.subkey), Text(value.name), "secret"});
        else line({"value", Text(value.subkey), Text(value.name), "was", Text(*value.previous)});
    }
    if (record.shortcut)
        line({"shortcut", BeforeWord(record.shortcut->existedBefore), PathText(record.shortcut->path)});
    if (!record.playwright.empty()) line({"playwright", PathText(record.playwright)});
    if (record.nodeInstalled) line({"node", "installed"});
    return text;
}

std::optional<InstallRecord> ParseInstallRecord(const std::string& text)
{
    size_t start = text.find('\n');
    if (start == std::string::npos || text.substr(0, start) != kHeader) return std::nullopt;
    InstallRecord record;
    for (++start; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) return std::nullopt;  // cut off: the last line never got its end
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (!ReadLine(record, Fields(line))) return std::nullopt;
    }
    if (record.installDir.empty()) return std::nullopt;
    return record;
}

void RecordFolder(InstallRecord& record, const fs::path& folder)
{
    AddOnce(record.folders, folder);
}

void RecordFile(InstallRecord& record, const fs::path& file, bool existedBefore)
{
    const auto same = [&file](const RecordedFile& listed) { return listed.path == file; };
    if (std::none_of(record.files.begin(), record.files.end(), same)) record.files.push_back({file, existedBefore});
}

void RecordValue(InstallRecord& record, RecordedValue value)
{
    const auto same = [&value](const RecordedValue& listed) {
        return listed.subkey == value.subkey && listed.name == value.name;
    };
    if (std::none_of(record.values.begin(), record.values.end(), same)) record.values.push_back(std::move(value));
}

InstallRecord MergeInstallRecords(const InstallRecord& earlier, const InstallRecord& later)
{
    InstallRecord merged = earlier;
    if (merged.installDir.empty()) merged.installDir = later.installDir;
    if (merged.stateDir.empty()) merged.stateDir = later.stateDir;
    if (merged.downloads.empty()) merged.downloads = later.downloads;
    for (const fs::path& folder : later.folders) RecordFolder(merged, folder);
    for (const RecordedFile& file : later.files) RecordFile(merged, file.path, file.existedBefore);
    for (const fs::path& tree : later.trees) AddOnce(merged.trees, tree);
    for (const fs::path& skill : later.skills) AddOnce(merged.skills, skill);
    for (const std::wstring& key : later.keys) AddOnce(merged.keys, key);
    for (const RecordedValue& value : later.values) RecordValue(merged, value);
    if (!merged.shortcut) merged.shortcut = later.shortcut;
    if (merged.playwright.empty()) merged.playwright = later.playwright;
    merged.nodeInstalled = merged.nodeInstalled || later.nodeInstalled;
    return merged;
}
