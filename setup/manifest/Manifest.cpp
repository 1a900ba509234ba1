#include "Manifest.h"

#include <cstdint>
#include <string>
#include <utility>

#include "BuildConfig.h"
#include "base/Text.h"

namespace {

// Position just past the ':' that follows the first quoted occurrence of key, or npos.
size_t FindValueStart(const std::string& text, const std::string& key)
{
    const std::string pattern = "\"" + key + "\"";
    const size_t at = text.find(pattern);
    if (at == std::string::npos)
        return std::string::npos;
    const size_t colon = text.find(':', at + pattern.size());
    return colon == std::string::npos ? std::string::npos : colon + 1;
}

// Same set strtoll skips in the C locale.
bool IsConversionSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Cuts the top-level objects out of the array that follows the quoted name and hands each to onObject.
template <typename OnObject>
void ForEachArrayObject(const std::string& text, const std::string& name, OnObject onObject)
{
    const size_t nameAt = text.find("\"" + name + "\"");
    if (nameAt == std::string::npos)
        return;
    const size_t open = text.find('[', nameAt);
    if (open == std::string::npos)
        return;
    const size_t close = FindMatchingBracket(text, open, '[', ']');
    if (close == std::string::npos)
        return;
    const std::string array = text.substr(open, close - open + 1);

    size_t pos = 0;
    for (;;) {
        const size_t objOpen = array.find('{', pos);
        if (objOpen == std::string::npos)
            return;
        const size_t objClose = FindMatchingBracket(array, objOpen, '{', '}');
        if (objClose == std::string::npos)
            return;
        onObject(array.substr(objOpen, objClose - objOpen + 1));
        pos = objClose + 1;
    }
}

// Reads the fields every entry has, then its own through readRest; an entry without an id is dropped.
template <typename Entry, typename ReadRest>
void ForEachEntry(const std::string& text, const std::string& name, std::vector<Entry>& entries, ReadRest readRest)
{
    ForEachArrayObject(text, name, [&](const std::string& obj) {
        Entry entry;
        entry.id = GetJsonString(obj, "id");
        entry.file = GetJsonString(obj, "file");
        entry.desc = GetJsonString(obj, "desc");
        entry.size = GetJsonInt64(obj, "size");
        entry.sha256 = GetJsonString(obj, "sha256");
        readRest(obj, entry);
        if (!entry.id.empty())
            entries.push_back(std::move(entry));
    });
}

} // namespace

std::string GetJsonString(const std::string& text, const std::string& key)
{
    const size_t valueAt = FindValueStart(text, key);
    if (valueAt == std::string::npos)
        return {};
    const size_t first = text.find('"', valueAt);
    if (first == std::string::npos)
        return {};
    const size_t second = text.find('"', first + 1);
    if (second == std::string::npos)
        return {};
    return text.substr(first + 1, second - first - 1);
}

int64_t GetJsonInt64(const std::string& text, const std::string& key)
{
    size_t i = FindValueStart(text, key);
    if (i == std::string::npos)
        return 0;
    // Spaces and tabs after the colon, then whatever white space the conversion itself accepts.
    while (i < text.size() && IsConversionSpace(text[i]))
        ++i;

    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    // Accumulate the magnitude unsigned so INT64_MIN is representable.
    const uint64_t limit = negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX};
    uint64_t magnitude = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        anyDigit = true;
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (overflow || magnitude > (limit - digit) / 10)
            overflow = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (!anyDigit || overflow)
        return 0;
    if (negative)
        return magnitude == uint64_t{INT64_MAX} + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
    return static_cast<int64_t>(magnitude);
}

bool GetJsonBool(const std::string& text, const std::string& key)
{
    size_t i = FindValueStart(text, key);
    if (i == std::string::npos)
        return false;
    while (i < text.size() && text[i] == ' ')
        ++i;
    return text.compare(i, 4, "true") == 0;
}

size_t FindMatchingBracket(const std::string& text, size_t open, char openChar, char closeChar)
{
    int64_t depth = 0;
    bool inString = false;
    for (size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            if (inString)
                ++i;
            continue;
        }
        if (c == '"') {
            inString = !inString;
            continue;
        }
        if (inString)
            continue;
        if (c == openChar) {
            ++depth;
        } else if (c == closeChar) {
            if (depth == 1)
                return i;
            --depth;
        }
    }
    return std::string::npos;
}

ReleaseManifest DefaultReleaseManifest()
{
    return ReleaseManifest{{}, kUpdateBaseUrl, {}, {}};
}

bool ParseManifestInto(ReleaseManifest& manifest)
{
    manifest.packages.clear();
    manifest.skills.clear();

    const std::string& text = manifest.manifestText;
    const std::string baseUrl = GetJsonString(text, "baseUrl");
    if (!baseUrl.empty())
        manifest.baseUrl = Utf8ToWide(baseUrl);

    ForEachEntry(text, "packages", manifest.packages, [](const std::string& obj, ManifestPackage& pkg) {
        pkg.extract = GetJsonBool(obj, "extract");
    });
    ForEachEntry(text, "skills", manifest.skills, [](const std::string& obj, ManifestSkill& skill) {
        skill.name = GetJsonString(obj, "name");
        skill.required = GetJsonBool(obj, "required");
    });
    return !manifest.packages.empty();
}

bool IsSha256Text(const std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}
