#include "AgentConfigText.h"

#include <cstdio>
#include <utility>

namespace {

constexpr size_t npos = std::string::npos;

bool IsJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string Quoted(const std::string& value)
{
    return "\"" + JsonEscape(value) + "\"";
}

// Each block ends with its closing brace and no line end, so the minimal text can join
// them with commas while the patches append the same block as a last member.
std::string AiBlock(const ConfigChoices& choices)
{
    return "  \"ai\": {\n"
           "    \"baseUrl\": " + Quoted(detail::ProviderBaseUrl(choices.apiProvider)) + ",\n"
           "    \"apiKey\": " + Quoted(choices.apiKey) + ",\n"
           "    \"model\": " + Quoted(choices.model) + "\n"
           "  }";
}

std::string GatewayBlock(const std::string& port)
{
    return "  \"gateway\": {\n"
           "    \"port\": " + detail::JsonPortValue(port) + ",\n"
           "    \"mode\": \"local\",\n"
           "    \"bind\": \"loopback\",\n"
           "    \"auth\": {\n"
           "      \"mode\": \"token\",\n"
           "      \"token\": \"" + std::string(GatewayToken) + "\"\n"
           "    },\n"
           "    \"controlUi\": {\n"
           "      \"allowInsecureAuth\": true\n"
           "    }\n"
           "  }";
}

std::string ExtraDirsValue(const std::string& skillsDir)
{
    return "[" + Quoted(skillsDir) + "]";
}

std::string SkillsBlock(const std::string& skillsDir)
{
    return "  \"skills\": {\n"
           "    \"load\": {\n"
           "      \"extraDirs\": " + ExtraDirsValue(skillsDir) + "\n"
           "    }\n"
           "  }";
}

const char kExecMember[] = "\n    \"exec\": {\n      \"host\": \"gateway\",\n      \"security\": \"full\"\n    },";

std::string ToolsBlock()
{
    return "  \"tools\": {\n"
           "    \"exec\": {\n"
           "      \"host\": \"gateway\",\n"
           "      \"security\": \"full\"\n"
           "    }\n"
           "  }";
}

// Looks past every kind of JSON white space, tabs included, so "{\t}" also counts as empty.
bool ObjectIsEmptyAfter(const std::string& text, size_t open)
{
    size_t i = open + 1;
    while (i < text.size() && IsJsonSpace(text[i])) ++i;
    return i < text.size() && text[i] == '}';
}

bool ObjectIsEmptyBefore(const std::string& text, size_t close)
{
    size_t i = close;
    while (i > 0 && IsJsonSpace(text[i - 1])) --i;
    return i > 0 && text[i - 1] == '{';
}

// Members inserted at the start of an object end with a comma, which an empty object must not get.
bool InsertAtObjectStart(std::string& text, size_t open, std::string member)
{
    if (open == npos)
        return false;
    if (ObjectIsEmptyAfter(text, open) && !member.empty() && member.back() == ',')
        member.pop_back();
    text.insert(open + 1, member);
    return true;
}

// Braces inside strings count like any other; an unbalanced object runs to the end of the text.
size_t PastMatchingBrace(const std::string& text, size_t open)
{
    size_t depth = 1;
    size_t k = open + 1;
    for (; k < text.size() && depth > 0; ++k) {
        if (text[k] == '{')
            ++depth;
        else if (text[k] == '}')
            --depth;
    }
    return k;
}

// A comma on a later line still separates the member from its successor, so it is taken too.
bool SkipFollowingComma(const std::string& text, size_t& k)
{
    size_t i = k;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] != ',') {
        size_t j = i;
        while (j < text.size() && IsJsonSpace(text[j])) ++j;
        if (j < text.size() && text[j] == ',')
            i = j;
    }
    const bool took = i < text.size() && text[i] == ',';
    if (took)
        ++i;
    while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) ++i;
    k = i;
    return took;
}

bool IsJsonNaturalNumber(const std::string& text)
{
    if (text.empty() || (text[0] == '0' && text.size() > 1))
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace

// Only what JSON requires is escaped, so ordinary values and UTF-8 stay byte for byte.
std::string JsonEscape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += buffer;
            } else {
                out += c;
            }
        }
    }
    return out;
}

// A port that is not a plain JSON number becomes a string, so the file stays valid JSON.
std::string detail::JsonPortValue(const std::string& port)
{
    return IsJsonNaturalNumber(port) ? port : Quoted(port);
}

// Byte order mark, then six LF-ended lines.
std::string InstallerConfigText(const ConfigChoices& choices)
{
    return "\xEF\xBB\xBF{\n"
           "  \"apiKey\": " + Quoted(choices.apiKey) + ",\n"
           "  \"model\": " + Quoted(choices.model) + ",\n"
           "  \"dashscopeApiKey\": " + Quoted(choices.dashscopeKey) + ",\n"
           "  \"gatewayPort\": " + detail::JsonPortValue(choices.port) + "\n"
           "}\n";
}

// The agent reads forward slashes on every platform.
std::string SkillsDirFromInstallPath(const std::string& installPath)
{
    std::string dir = installPath;
    for (char& c : dir)
        if (c == '\\')
            c = '/';
    return dir + "/skills";
}

// Any provider other than 0 is the coding plan, so an unknown stored value still gets an endpoint.
std::string detail::ProviderBaseUrl(int apiProvider)
{
    return apiProvider == 0 ? BailianBaseUrl : CodingPlanBaseUrl;
}

// Written so that the five patches leave it unchanged.
std::string MinimalAgentConfigText(const ConfigChoices& choices)
{
    return "{\n" + AiBlock(choices) + ",\n" + GatewayBlock(choices.port) + ",\n" +
           SkillsBlock(SkillsDirFromInstallPath(choices.installPath)) + ",\n" + ToolsBlock() + "\n}\n";
}

// Tabs are not skipped when placing the comma, so a comma lands after a tab that ends a value.
bool detail::InsertBeforeFinalBrace(std::string& text, const std::string& member)
{
    size_t c = text.rfind('}');
    if (c == npos || c == 0)
        return false;
    if (!ObjectIsEmptyBefore(text, c)) {
        size_t q = c - 1;
        while (q > 0 && (text[q] == ' ' || text[q] == '\n' || text[q] == '\r')) --q;
        if (text[q] != ',') {
            text.insert(q + 1, 1, ',');
            ++c;
        }
    }
    text.insert(c, member);
    return true;
}

// Between two neighbours only the following comma goes, so exactly one separator remains.
std::string detail::RemovePluginEntries(std::string& text)
{
    size_t e = text.find("\"entries\"");
    if (e == npos || text.rfind("\"plugins\"", e) == npos)
        return {};
    const size_t b = text.find('{', e);
    if (b == npos)
        return {};
    size_t k = PastMatchingBrace(text, b);
    while (e > 0 && text[e - 1] == ' ') --e;
    if (!SkipFollowingComma(text, k)) {
        size_t d = e;
        while (d > 0 && IsJsonSpace(text[d - 1])) --d;
        if (d > 0 && text[d - 1] == ',')
            e = d - 1;
    }
    text.erase(e, k - e);
    return "  已清理 plugins.entries";
}

// The first "skills" anywhere is the anchor, whether key or value.
void detail::SetSkillsExtraDirs(std::string& text, const std::string& skillsDir)
{
    const size_t s = text.find("\"skills\"");
    if (s == npos) {
        detail::InsertBeforeFinalBrace(text, SkillsBlock(skillsDir) + "\n");
        return;
    }
    const size_t x = text.find("\"extraDirs\"", s);
    if (x != npos) {
        const size_t lb = text.find('[', x);
        const size_t rb = text.find(']', lb);
        if (lb != npos && rb != npos)
            text.replace(lb, rb - lb + 1, ExtraDirsValue(skillsDir));
        return;
    }
    const size_t l = text.find("\"load\"", s);
    if (l != npos)
        InsertAtObjectStart(text, text.find('{', l), "\n        \"extraDirs\": " + ExtraDirsValue(skillsDir) + ",");
    else
        InsertAtObjectStart(text, text.find('{', s),
                            "\n      \"load\": {\n        \"extraDirs\": " + ExtraDirsValue(skillsDir) + "\n      },");
}

// An "exec" less than 50 bytes after a "tools" is taken to be the tools object's own member.
std::string detail::EnsureToolsExec(std::string& text)
{
    const size_t x = text.find("\"exec\"");
    if (x != npos) {
        const size_t t = text.rfind("\"tools\"", x);
        if (t != npos && x - t < 50)
            return {};
    }
    const size_t t = text.find("\"tools\"");
    const bool inserted = t != npos ? InsertAtObjectStart(text, text.find('{', t), kExecMember)
                                    : detail::InsertBeforeFinalBrace(text, ToolsBlock() + "\n");
    return inserted ? "  已注入 tools.exec (host=gateway, security=full)" : std::string();
}

// Only the spelling with exactly one space after the colon is recognised.
std::string detail::SetBaseUrl(std::string& text, const std::string& endpoint)
{
    static const std::string key = "\"baseUrl\": \"";
    const size_t p = text.find(key);
    if (p == npos)
        return {};
    const size_t start = p + key.size();
    const size_t q = text.find('"', start);
    if (q == npos)
        return {};
    text.replace(start, q - start, JsonEscape(endpoint));
    return "  baseUrl → " + endpoint;
}

// Where a quoted name stands as a member's name, not as a string value such as the exec tool's
// "host": "gateway".
size_t FindMemberName(const std::string& text, const std::string& quotedName)
{
    for (size_t at = text.find(quotedName); at != npos; at = text.find(quotedName, at + 1)) {
        size_t k = at + quotedName.size();
        while (k < text.size() && IsJsonSpace(text[k]))
            ++k;
        if (k < text.size() && text[k] == ':')
            return at;
    }
    return npos;
}

// A "mode" less than 200 bytes after the gateway's brace counts as present, even a nested one.
std::string detail::EnsureGatewayMode(std::string& text, const std::string& port)
{
    const size_t g = FindMemberName(text, "\"gateway\"");
    if (g == npos)
        return detail::InsertBeforeFinalBrace(text, GatewayBlock(port) + "\n") ? "  已注入完整 gateway 配置段" : std::string();
    const size_t b = text.find('{', g);
    if (b == npos)
        return {};
    const size_t m = text.find("\"mode\"", b);
    if (m != npos && m - b < 200)
        return {};
    InsertAtObjectStart(text, b, "\n    \"mode\": \"local\",");
    return "  已注入 gateway.mode=local";
}

// The lines come back in the order the patches ran, for the caller to post.
std::vector<std::string> PatchAgentConfig(std::string& text, const ConfigChoices& choices)
{
    std::vector<std::string> lines;
    const auto keep = [&lines](std::string line) {
        if (!line.empty())
            lines.push_back(std::move(line));
    };
    keep(detail::RemovePluginEntries(text));
    detail::SetSkillsExtraDirs(text, SkillsDirFromInstallPath(choices.installPath));
    keep(detail::EnsureToolsExec(text));
    keep(detail::SetBaseUrl(text, detail::ProviderBaseUrl(choices.apiProvider)));
    keep(detail::EnsureGatewayMode(text, choices.port));
    return lines;
}

// Only the first placeholder takes the key, escaped so the profiles stay valid JSON.
std::string FillAuthProfilesKey(std::string text, const std::string& apiKey)
{
    static const std::string placeholder = "__API_KEY_PLACEHOLDER__";
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), JsonEscape(apiKey));
    return text;
}
