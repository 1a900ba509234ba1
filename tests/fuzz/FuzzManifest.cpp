#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "FuzzCheck.h"
#include "manifest/Manifest.h"
#include "base/Text.h"
#include "base/Utf8.h"

using detail::IsAcceptedBaseUrl;
using detail::GetJsonString;
using detail::GetJsonInt64;
using detail::GetJsonBool;
using detail::FindMatchingBracket;

namespace {

const wchar_t kInitialBaseUrl[] = L"https://initial.example/";

// The reader's contract spelled out with the standard conversion, to compare against.
int64_t ReferenceInt64(const std::string& text, const std::string& key)
{
    const std::string pattern = "\"" + key + "\"";
    // The first match whose opening quote no odd run of backslashes escapes.
    size_t at = text.find(pattern);
    for (size_t run = 0; at != std::string::npos; at = text.find(pattern, at + 1), run = 0) {
        while (run < at && text[at - run - 1] == '\\')
            ++run;
        if (run % 2 == 0)
            break;
    }
    if (at == std::string::npos)
        return 0;
    size_t i = text.find(':', at + pattern.size());
    if (i == std::string::npos)
        return 0;
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    try {
        return std::stoll(text.substr(i), nullptr, 10);
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
}

void CheckReaders(const std::string& text, const std::string& key)
{
    const std::string pattern = "\"" + key + "\"";
    const bool hasKey = text.find(pattern) != std::string::npos;

    FUZZ_CHECK(GetJsonString(text, key).empty() || hasKey);

    FUZZ_CHECK(GetJsonInt64(text, key) == ReferenceInt64(text, key));

    if (GetJsonBool(text, key))
        FUZZ_CHECK(hasKey && text.find("true") != std::string::npos);
}

void CheckBracket(const std::string& text, size_t open, char openChar, char closeChar)
{
    const size_t close = FindMatchingBracket(text, open, openChar, closeChar);
    if (close == std::string::npos)
        return;
    FUZZ_CHECK(close > open);
    FUZZ_CHECK(close < text.size());
    FUZZ_CHECK(text[close] == closeChar);
}

const char* ShortEscape(char32_t c)
{
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '/': return "\\/";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return nullptr;
    }
}

std::string UnicodeEscape(char32_t unit, bool upper)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, upper ? "\\u%04X" : "\\u%04x", static_cast<unsigned>(unit));
    return buffer;
}

// The code points as a JSON string body, each in a form JSON allows for it, chosen by its position and seed.
std::string Escaped(const std::u32string& codePoints, size_t seed)
{
    std::string out;
    for (size_t i = 0; i < codePoints.size(); ++i) {
        const char32_t c = codePoints[i];
        const size_t form = (seed + i) % 4;
        const bool rawAllowed = c >= 0x20 && c != '"' && c != '\\';
        if (form == 0 && rawAllowed) {
            out += EncodeUtf8(std::u32string(1, c));
        } else if (form == 1 && ShortEscape(c)) {
            out += ShortEscape(c);
        } else if (c >= 0x10000) {
            out += UnicodeEscape(0xD800 + ((c - 0x10000) >> 10), form == 2);
            out += UnicodeEscape(0xDC00 + ((c - 0x10000) & 0x3FF), form == 2);
        } else {
            out += UnicodeEscape(c, form == 2);
        }
    }
    return out;
}

// Whatever an encoder writes the scanner reads back, except U+0000, which empties the field.
void CheckRoundTrip(const std::string& input, size_t seed)
{
    const std::u32string codePoints = DecodeUtf8(input);
    const std::string written = "{\"k\": \"" + Escaped(codePoints, seed) + "\"}";
    const bool hasNul = codePoints.find(U'\0') != std::u32string::npos;
    FUZZ_CHECK(GetJsonString(written, "k") == (hasNul ? std::string() : EncodeUtf8(codePoints)));
}

void CheckParse(const std::string& text)
{
    ReleaseManifest fresh;
    fresh.manifestText = text;
    fresh.baseUrl = kInitialBaseUrl;
    const bool ok = ParseManifestInto(fresh);

    FUZZ_CHECK(ok == !fresh.packages.empty());
    for (const ManifestPackage& p : fresh.packages) {
        FUZZ_CHECK(!p.id.empty());
        FUZZ_CHECK(!p.alreadyPresent);
    }
    for (const ManifestSkill& s : fresh.skills) {
        FUZZ_CHECK(!s.id.empty());
        FUZZ_CHECK(s.selected);
    }

    const std::string url = GetJsonString(text, "baseUrl");
    const bool taken = !url.empty() && IsAcceptedBaseUrl(Utf8ToWide(url), kInitialBaseUrl);
    FUZZ_CHECK(fresh.baseUrl == (taken ? Utf8ToWide(url) : std::wstring(kInitialBaseUrl)));
    FUZZ_CHECK(fresh.refusedBaseUrl == (url.empty() || taken ? std::wstring() : Utf8ToWide(url)));

    // A manifest that already holds entries must come out the same as a fresh one.
    ReleaseManifest reused;
    reused.manifestText = text;
    reused.baseUrl = kInitialBaseUrl;
    reused.packages.push_back({"old", "old.zip", "", 1, true, true});
    reused.skills.push_back({"old", "", "", "", 1, true, false});
    FUZZ_CHECK(ParseManifestInto(reused) == ok);
    FUZZ_CHECK(reused.packages.size() == fresh.packages.size());
    FUZZ_CHECK(reused.skills.size() == fresh.skills.size());
    for (size_t i = 0; i < fresh.packages.size(); ++i)
        FUZZ_CHECK(reused.packages[i].id == fresh.packages[i].id && !reused.packages[i].alreadyPresent);
    for (size_t i = 0; i < fresh.skills.size(); ++i)
        FUZZ_CHECK(reused.skills[i].id == fresh.skills[i].id && reused.skills[i].selected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();

    CheckParse(input);

    // First line is the key, the rest the text; without a line break the whole input is the text.
    const size_t newline = input.find('\n');
    const std::string key = newline == std::string::npos ? std::string("id") : input.substr(0, newline);
    const std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
    CheckReaders(text, key);
    CheckReaders(input, "size");
    CheckReaders(input, "extract");
    CheckRoundTrip(input, size);

    const size_t anywhere = text.empty() ? 0 : (key.size() * 131 + size) % (text.size() + 2);
    for (const auto& [openChar, closeChar] : {std::pair{'[', ']'}, std::pair{'{', '}'}}) {
        CheckBracket(text, text.find(openChar), openChar, closeChar);
        CheckBracket(text, anywhere, openChar, closeChar);
    }
    return 0;
}
