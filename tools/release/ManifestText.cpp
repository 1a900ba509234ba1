#include "ManifestText.h"

#include "agentconfig/AgentConfigText.h"

namespace {

constexpr const char* kFieldIndent = "      ";

std::string Quoted(const std::string& text)
{
    return "\"" + JsonEscape(text) + "\"";
}

std::string Field(const char* key, const std::string& jsonValue)
{
    return std::string(kFieldIndent) + Quoted(key) + ": " + jsonValue;
}

std::string Flag(bool value)
{
    return value ? "true" : "false";
}

std::string Object(const std::vector<std::string>& fields)
{
    std::string text = "    {\n";
    for (size_t i = 0; i < fields.size(); ++i)
        text += fields[i] + (i + 1 < fields.size() ? ",\n" : "\n");
    return text + "    }";
}

std::string PackageObject(const ManifestPackage& package)
{
    return Object({Field("id", Quoted(package.id)), Field("desc", Quoted(package.desc)),
                   Field("extract", Flag(package.extract)), Field("file", Quoted(package.file)),
                   Field("size", std::to_string(package.size)), Field("sha256", Quoted(package.sha256))});
}

std::string SkillObject(const ManifestSkill& skill)
{
    return Object({Field("id", Quoted(skill.id)), Field("name", Quoted(skill.name)), Field("desc", Quoted(skill.desc)),
                   Field("required", Flag(skill.required)), Field("file", Quoted(skill.file)),
                   Field("size", std::to_string(skill.size)), Field("sha256", Quoted(skill.sha256))});
}

template <typename Entry, typename Render>
std::string Array(const std::vector<Entry>& entries, Render render)
{
    if (entries.empty()) return "[]";
    std::string text = "[\n";
    for (size_t i = 0; i < entries.size(); ++i)
        text += render(entries[i]) + (i + 1 < entries.size() ? ",\n" : "\n");
    return text + "  ]";
}

} // namespace

std::string ManifestJson(const std::string& version, const std::string& baseUrl,
                         const std::vector<ManifestPackage>& packages, const std::vector<ManifestSkill>& skills)
{
    std::string text = "{\n";
    if (!version.empty()) text += "  \"version\": " + Quoted(version) + ",\n";
    if (!baseUrl.empty()) text += "  \"baseUrl\": " + Quoted(baseUrl) + ",\n";
    text += "  \"packages\": " + Array(packages, PackageObject) + ",\n";
    text += "  \"skills\": " + Array(skills, SkillObject) + "\n";
    return text + "}\n";
}
