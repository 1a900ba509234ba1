#include "Manifest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "BuildConfig.h"
#include "base/Text.h"
#include "base/Utf8.h"

namespace {

// A quote after an odd run of backslashes is part of a string, not one of its ends.
bool IsEscapedQuote(const std::string& text, size_t quote)
{
    size_t backslashes = 0;
    while (backslashes < quote && text[quote - backslashes - 1] == '\\')
        ++backslashes;
    return backslashes % 2 == 1;
}

// The first "name" whose opening quote is a real one, so that text such as \"id" inside a string
// cannot pose as the key.
size_t FindQuotedName(const std::string& text, const std::string& name)
{
    const std::string pattern = "\"" + name + "\"";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1))
        if (!IsEscapedQuote(text, at))
            return at;
    return std::string::npos;
}

// Position just past the ':' that follows the first quoted occurrence of key, or npos.
size_t FindValueStart(const std::string& text, const std::string& key)
{
    const size_t at = FindQuotedName(text, key);
    if (at == std::string::npos)
        return std::string::npos;
    const size_t colon = text.find(':', at + key.size() + 2);
    return colon == std::string::npos ? std::string::npos : colon + 1;
}

// Same set strtoll skips in the C locale.
bool IsConversionSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The quote that ends the string opened at open, stepping over each backslash and what it escapes.
size_t FindClosingQuote(const std::string& text, size_t open)
{
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i;
    }
    return std::string::npos;
}

// The UTF-16 code unit spelled by four hex digits at pos, or nullopt.
std::optional<char32_t> HexUnit(const std::string& raw, size_t pos)
{
    if (raw.size() < pos + 4)
        return std::nullopt;
    char32_t unit = 0;
    for (size_t i = pos; i < pos + 4; ++i) {
        const char c = raw[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return unit;
}

// The code point of the \u escape whose u is at at, a surrogate pair taken whole; at is left on its
// last digit. A lone or mismatched surrogate is no code point, and neither is U+0000: Windows would
// end the text there, short of what the name checks saw.
std::optional<char32_t> UnicodeEscape(const std::string& raw, size_t& at)
{
    const std::optional<char32_t> unit = HexUnit(raw, at + 1);
    if (!unit || *unit == 0 || (*unit >= 0xDC00 && *unit <= 0xDFFF))
        return std::nullopt;
    at += 4;
    if (*unit < 0xD800 || *unit > 0xDBFF)
        return unit;
    if (raw.compare(at + 1, 2, "\\u") != 0)
        return std::nullopt;
    const std::optional<char32_t> low = HexUnit(raw, at + 3);
    if (!low || *low < 0xDC00 || *low > 0xDFFF)
        return std::nullopt;
    at += 6;
    return 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
}

// The string between two quotes with its JSON escapes decoded to UTF-8; nullopt for an escape JSON
// does not define. Other bytes are kept as they are.
std::optional<std::string> Unescaped(const std::string& raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out.push_back(raw[i]);
            continue;
        }
        // Never past the end: FindClosingQuote steps over whatever follows each backslash.
        switch (raw[++i]) {
        case '"': case '\\': case '/': out.push_back(raw[i]); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
            const std::optional<char32_t> codePoint = UnicodeEscape(raw, i);
            if (!codePoint)
                return std::nullopt;
            out += EncodeUtf8(std::u32string(1, *codePoint));
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

// Cuts the top-level objects out of the array that follows the quoted name and hands each to onObject.
template <typename OnObject>
void ForEachArrayObject(const std::string& text, const std::string& name, OnObject onObject)
{
    const size_t nameAt = FindQuotedName(text, name);
    if (nameAt == std::string::npos)
        return;
    const size_t open = text.find('[', nameAt);
    if (open == std::string::npos)
        return;
    const size_t close = detail::FindMatchingBracket(text, open, '[', ']');
    if (close == std::string::npos)
        return;
    const std::string array = text.substr(open, close - open + 1);

    size_t pos = 0;
    for (;;) {
        const size_t objOpen = array.find('{', pos);
        if (objOpen == std::string::npos)
            return;
        const size_t objClose = detail::FindMatchingBracket(array, objOpen, '{', '}');
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
        entry.id = detail::GetJsonString(obj, "id");
        entry.file = detail::GetJsonString(obj, "file");
        entry.desc = detail::GetJsonString(obj, "desc");
        entry.size = detail::GetJsonInt64(obj, "size");
        entry.sha256 = detail::GetJsonString(obj, "sha256");
        readRest(obj, entry);
        if (!entry.id.empty())
            entries.push_back(std::move(entry));
    });
}

} // namespace

std::string detail::GetJsonString(const std::string& text, const std::string& key)
{
    const size_t valueAt = FindValueStart(text, key);
    if (valueAt == std::string::npos)
        return {};
    const size_t open = text.find('"', valueAt);
    if (open == std::string::npos)
        return {};
    const size_t close = FindClosingQuote(text, open);
    if (close == std::string::npos)
        return {};
    // A value that cannot be decoded is treated as a missing one, so the rules for that apply.
    return Unescaped(text.substr(open + 1, close - open - 1)).value_or(std::string());
}

int64_t detail::GetJsonInt64(const std::string& text, const std::string& key)
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

bool detail::GetJsonBool(const std::string& text, const std::string& key)
{
    size_t i = FindValueStart(text, key);
    if (i == std::string::npos)
        return false;
    while (i < text.size() && text[i] == ' ')
        ++i;
    return text.compare(i, 4, "true") == 0;
}

size_t detail::FindMatchingBracket(const std::string& text, size_t open, char openChar, char closeChar)
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

namespace {

bool StartsWithFolded(const std::wstring& text, const std::wstring& lowerPrefix)
{
    if (text.size() < lowerPrefix.size()) return false;
    for (size_t i = 0; i < lowerPrefix.size(); ++i) {
        const wchar_t c = text[i] >= L'A' && text[i] <= L'Z' ? static_cast<wchar_t>(text[i] - L'A' + L'a') : text[i];
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

bool IsLoopbackHttp(const std::wstring& url)
{
    for (const wchar_t* host : {L"http://127.0.0.1", L"http://localhost", L"http://[::1]"}) {
        const std::wstring prefix = host;
        if (StartsWithFolded(url, prefix) && (url.size() == prefix.size() || url[prefix.size()] == L':' ||
                                              url[prefix.size()] == L'/'))
            return true;
    }
    return false;
}

// The string of a key of the outermost object only: a package or skill may carry a "version" of its own.
std::string TopLevelString(const std::string& text, const std::string& key)
{
    const std::string quoted = "\"" + key + "\"";
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const size_t start = i;
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            if (depth != 1 || text.compare(start, quoted.size(), quoted) != 0 || i != start + quoted.size() - 1)
                continue;
            const size_t colon = text.find_first_not_of(" \t\r\n", i + 1);
            if (colon != std::string::npos && text[colon] == ':') return detail::GetJsonString(text.substr(start), key);
        }
    }
    return {};
}

}  // namespace

// A manifest is fetched over https from the vendor; a baseUrl must not hand the downloads to plain
// http, where anyone on the way could change them unseen when no hash is given.
bool detail::IsAcceptedBaseUrl(const std::wstring& url, const std::wstring& builtIn)
{
    if (StartsWithFolded(url, L"https://")) return true;
    return IsLoopbackHttp(builtIn) && StartsWithFolded(url, L"http://");
}

bool ParseManifestInto(ReleaseManifest& manifest)
{
    manifest.packages.clear();
    manifest.skills.clear();

    const std::string& text = manifest.manifestText;
    const std::wstring baseUrl = Utf8ToWide(detail::GetJsonString(text, "baseUrl"));
    manifest.refusedBaseUrl.clear();
    manifest.version = TopLevelString(text, "version");
    if (!baseUrl.empty() && detail::IsAcceptedBaseUrl(baseUrl, manifest.baseUrl))
        manifest.baseUrl = baseUrl;
    else if (!baseUrl.empty())
        manifest.refusedBaseUrl = baseUrl;

    ForEachEntry(text, "packages", manifest.packages, [](const std::string& obj, ManifestPackage& pkg) {
        pkg.extract = detail::GetJsonBool(obj, "extract");
    });
    ForEachEntry(text, "skills", manifest.skills, [](const std::string& obj, ManifestSkill& skill) {
        skill.name = detail::GetJsonString(obj, "name");
        skill.required = detail::GetJsonBool(obj, "required");
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
