#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "agentconfig/AgentConfigText.h"

using detail::ProviderBaseUrl;
using detail::InsertBeforeFinalBrace;
using detail::RemovePluginEntries;
using detail::SetSkillsExtraDirs;
using detail::EnsureToolsExec;
using detail::SetBaseUrl;
using detail::EnsureGatewayMode;

namespace {


// One string token of a checked text: where it starts, its raw bytes, and what follows a key.
struct StringToken {
    size_t start = 0;
    std::string raw;
    bool isKey = false;
    char valueOpen = 0;
    bool flatArray = false;
};

// A strict JSON checker that also records string tokens; nesting is capped so deep input cannot overflow the stack.
struct JsonChecker {
    const std::string& text;
    size_t at = 0;
    std::vector<StringToken> strings;

    void SkipSpace()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
    }

    bool Literal(const char* word)
    {
        const std::string w = word;
        if (text.compare(at, w.size(), w) != 0)
            return false;
        at += w.size();
        return true;
    }

    bool String()
    {
        StringToken token;
        token.start = at++;
        while (at < text.size() && text[at] != '"') {
            const unsigned char c = static_cast<unsigned char>(text[at]);
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++at >= text.size())
                    return false;
                const char e = text[at];
                if (e == 'u') {
                    for (int i = 1; i <= 4; ++i)
                        if (at + i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at + i])))
                            return false;
                    at += 4;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
            ++at;
        }
        if (at >= text.size())
            return false;
        token.raw = text.substr(token.start + 1, at - token.start - 1);
        ++at;
        strings.push_back(token);
        return true;
    }

    bool Digits()
    {
        const size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at > from;
    }

    bool Number()
    {
        if (at < text.size() && text[at] == '-')
            ++at;
        if (at < text.size() && text[at] == '0')
            ++at;
        else if (!Digits())
            return false;
        if (at < text.size() && text[at] == '.' && (++at, !Digits()))
            return false;
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
            ++at;
            if (at < text.size() && (text[at] == '+' || text[at] == '-'))
                ++at;
            if (!Digits())
                return false;
        }
        return true;
    }

    bool Value(int depth)
    {
        SkipSpace();
        if (at >= text.size() || depth > 64)
            return false;
        switch (text[at]) {
        case '{': return Object(depth + 1);
        case '[': return Array(depth + 1);
        case '"': return String();
        case 't': return Literal("true");
        case 'f': return Literal("false");
        case 'n': return Literal("null");
        default: return Number();
        }
    }

    bool Object(int depth)
    {
        ++at;
        SkipSpace();
        if (at < text.size() && text[at] == '}')
            return ++at, true;
        for (;;) {
            SkipSpace();
            if (at >= text.size() || text[at] != '"' || !String())
                return false;
            const size_t key = strings.size() - 1;
            strings[key].isKey = true;
            SkipSpace();
            if (at >= text.size() || text[at] != ':')
                return false;
            ++at;
            SkipSpace();
            const size_t valueStart = at;
            if (!Value(depth))
                return false;
            strings[key].valueOpen = text[valueStart];
            strings[key].flatArray =
                text[valueStart] == '[' && text.substr(valueStart + 1, at - valueStart - 1).find('[') == std::string::npos;
            SkipSpace();
            if (at < text.size() && text[at] == ',') {
                ++at;
                continue;
            }
            return at < text.size() && text[at++] == '}';
        }
    }

    bool Array(int depth)
    {
        ++at;
        SkipSpace();
        if (at < text.size() && text[at] == ']')
            return ++at, true;
        for (;;) {
            if (!Value(depth))
                return false;
            SkipSpace();
            if (at < text.size() && text[at] == ',') {
                ++at;
                continue;
            }
            return at < text.size() && text[at++] == ']';
        }
    }

    bool Document()
    {
        if (!Value(0))
            return false;
        SkipSpace();
        return at == text.size();
    }
};

bool IsValidJson(const std::string& text)
{
    JsonChecker checker{text, 0, {}};
    return checker.Document();
}

// The patches search raw bytes, so they keep JSON valid only where anchors are real keys of the
// expected kind and no string holds a bracket, a brace or an escape.
bool PatchesKeepJsonValid(const std::string& text)
{
    JsonChecker checker{text, 0, {}};
    if (!checker.Document())
        return false;
    for (const StringToken& token : checker.strings) {
        if (token.raw.find_first_of("\\{}[]") != std::string::npos)
            return false;
        if (token.raw == "entries" && !(token.isKey && token.valueOpen == '{'))
            return false;
        if (token.raw == "extraDirs" && !(token.isKey && token.flatArray))
            return false;
    }
    return true;
}

// The original with exactly one contiguous range removed.
bool IsOriginalMinusOneRange(const std::string& original, const std::string& result)
{
    if (result.size() >= original.size())
        return false;
    size_t prefix = 0;
    while (prefix < result.size() && result[prefix] == original[prefix]) ++prefix;
    const size_t suffix = result.size() - prefix;
    return original.compare(original.size() - suffix, suffix, result, prefix, suffix) == 0;
}

void CheckInsertBeforeFinalBrace(const std::string& text)
{
    const std::string member = "  \"m\": 1\n";
    std::string result = text;
    const size_t last = text.rfind('}');
    const bool inserted = InsertBeforeFinalBrace(result, member);
    FUZZ_CHECK(inserted == (last != std::string::npos && last > 0));
    if (!inserted) {
        FUZZ_CHECK(result == text);
        return;
    }
    const size_t closing = result.rfind('}');
    FUZZ_CHECK(closing >= member.size() && result.compare(closing - member.size(), member.size(), member) == 0);
    result.erase(closing - member.size(), member.size());
    if (result.size() == text.size() + 1) {
        size_t i = 0;
        while (i < text.size() && result[i] == text[i]) ++i;
        FUZZ_CHECK(result[i] == ',');
        result.erase(i, 1);
    }
    FUZZ_CHECK(result == text);
}

void CheckSinglePatches(const std::string& text, const ConfigChoices& choices)
{
    std::string removed = text;
    const std::string removedLine = RemovePluginEntries(removed);
    FUZZ_CHECK(removedLine.empty() == (removed == text));
    if (!removedLine.empty())
        FUZZ_CHECK(IsOriginalMinusOneRange(text, removed));

    const std::string skillsDir = SkillsDirFromInstallPath(choices.installPath);
    std::string skills = text;
    SetSkillsExtraDirs(skills, skillsDir);
    std::string skillsTwice = skills;
    SetSkillsExtraDirs(skillsTwice, skillsDir);
    if (skillsDir.find(']') == std::string::npos)
        FUZZ_CHECK(skillsTwice == skills);

    std::string tools = text;
    const std::string toolsLine = EnsureToolsExec(tools);
    FUZZ_CHECK(toolsLine.empty() == (tools == text));
    FUZZ_CHECK(tools.size() >= text.size());

    const std::string endpoint = ProviderBaseUrl(choices.apiProvider);
    std::string url = text;
    const std::string urlLine = SetBaseUrl(url, endpoint);
    std::string urlTwice = url;
    SetBaseUrl(urlTwice, endpoint);
    FUZZ_CHECK(urlTwice == url);
    FUZZ_CHECK(urlLine.empty() || url.find("\"baseUrl\": \"" + endpoint + "\"") != std::string::npos);

    std::string gateway = text;
    const std::string gatewayLine = EnsureGatewayMode(gateway, choices.port);
    FUZZ_CHECK(gatewayLine.empty() == (gateway == text));
    std::string gatewayTwice = gateway;
    FUZZ_CHECK(EnsureGatewayMode(gatewayTwice, choices.port).empty());
    FUZZ_CHECK(gatewayTwice == gateway);
}

void CheckWholePatch(const std::string& text, const ConfigChoices& choices)
{
    std::string patched = text;
    const std::vector<std::string> lines = PatchAgentConfig(patched, choices);
    FUZZ_CHECK(lines.size() <= 4);
    if (PatchesKeepJsonValid(text))
        FUZZ_CHECK(IsValidJson(patched));
}

ConfigChoices PlainChoices()
{
    ConfigChoices choices;
    choices.installPath = "C:\\Quillmere";
    choices.apiKey = "sk-test";
    choices.model = "qwen3.5-plus";
    choices.port = "18789";
    return choices;
}

// Quotes, a tab, a control byte and UTF-8 exercise the escaping without brackets or braces.
ConfigChoices AwkwardChoices()
{
    ConfigChoices choices;
    choices.installPath = "D:\\应用\\Quill \"mere\"\t\x01";
    choices.apiKey = "k\"\\";
    choices.model = "m\n";
    choices.port = "";
    choices.apiProvider = 1;
    return choices;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    static const ConfigChoices plain = PlainChoices();
    static const ConfigChoices awkward = AwkwardChoices();

    CheckInsertBeforeFinalBrace(text);
    for (const ConfigChoices* choices : {&plain, &awkward}) {
        CheckSinglePatches(text, *choices);
        CheckWholePatch(text, *choices);
    }
    return 0;
}
