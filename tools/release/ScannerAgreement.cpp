#include "ScannerAgreement.h"

#include <nlohmann/json.hpp>

#include "ReleaseDescription.h"
#include "base/Text.h"

using nlohmann::json;

namespace {

// One field as the scanner read it and as a JSON parser reads it.
struct FieldReadings {
    const char* key;
    json scanned;
    json parsed;
};

// Invalid UTF-8 is shown replaced rather than thrown over: the line reports it either way.
std::string Shown(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The value a JSON parser finds under key, or what the installer takes when the key is missing.
json ParsedField(const json& entry, const char* key, json whenMissing)
{
    const auto found = entry.find(key);
    return found == entry.end() ? whenMissing : *found;
}

bool HasId(const json& element)
{
    const auto id = element.is_object() ? element.find("id") : element.end();
    return element.is_object() && id != element.end() && id->is_string() && !id->get<std::string>().empty();
}

// The elements of the named top-level array that the installer would keep: objects with an id.
std::vector<json> ParsedEntries(const json& root, const std::string& name, std::vector<std::string>& problems)
{
    std::vector<json> entries;
    const auto array = root.find(name);
    if (array == root.end()) return entries;
    if (!array->is_array()) {
        problems.push_back("manifest.json: " + name + " is not an array");
        return entries;
    }
    for (size_t i = 0; i < array->size(); ++i) {
        if (HasId((*array)[i]))
            entries.push_back((*array)[i]);
        else
            problems.push_back("manifest.json: " + name + "[" + std::to_string(i) + "] has no id, so the installer skips it");
    }
    return entries;
}

template <typename Entry>
std::vector<FieldReadings> CommonFields(const Entry& scanned, const json& parsed)
{
    return {{"id", scanned.id, ParsedField(parsed, "id", "")},
            {"file", scanned.file, ParsedField(parsed, "file", "")},
            {"desc", scanned.desc, ParsedField(parsed, "desc", "")},
            {"size", scanned.size, ParsedField(parsed, "size", 0)},
            {"sha256", scanned.sha256, ParsedField(parsed, "sha256", "")}};
}

std::vector<FieldReadings> FieldsOf(const ManifestPackage& scanned, const json& parsed)
{
    std::vector<FieldReadings> fields = CommonFields(scanned, parsed);
    fields.push_back({"extract", scanned.extract, ParsedField(parsed, "extract", false)});
    return fields;
}

std::vector<FieldReadings> FieldsOf(const ManifestSkill& scanned, const json& parsed)
{
    std::vector<FieldReadings> fields = CommonFields(scanned, parsed);
    fields.push_back({"name", scanned.name, ParsedField(parsed, "name", "")});
    fields.push_back({"required", scanned.required, ParsedField(parsed, "required", false)});
    return fields;
}

void AddDifferences(const std::string& label, const std::vector<FieldReadings>& fields, std::vector<std::string>& problems)
{
    for (const FieldReadings& field : fields)
        if (field.scanned != field.parsed)
            problems.push_back(label + ": the installer reads " + field.key + " as " + Shown(field.scanned) +
                               ", a JSON parser as " + Shown(field.parsed));
}

// Entries are paired by position, so once the counts differ the pairs mean nothing.
template <typename Entry>
void CompareEntries(EntryKind kind, const std::string& name, const std::vector<Entry>& scanned,
                    const std::vector<json>& parsed, std::vector<std::string>& problems)
{
    if (scanned.size() != parsed.size()) {
        problems.push_back("manifest.json: the installer reads " + std::to_string(scanned.size()) + " " + name +
                           ", a JSON parser " + std::to_string(parsed.size()));
        return;
    }
    for (size_t i = 0; i < scanned.size(); ++i)
        AddDifferences(EntryLabel(kind, scanned[i].id, scanned[i].file), FieldsOf(scanned[i], parsed[i]), problems);
}

} // namespace

std::vector<std::string> ScannerDisagreements(const std::string& manifestText, const ReleaseManifest& scanned)
{
    json root;
    try {
        root = json::parse(manifestText);
    } catch (const json::parse_error& error) {
        return {std::string("manifest.json: not valid JSON: ") + error.what()};
    }
    if (!root.is_object()) return {"manifest.json: not a JSON object"};

    std::vector<std::string> problems;
    // Whether the installer takes a plain-http baseUrl depends on its own built-in one; what it read counts here.
    const std::wstring read = scanned.baseUrl.empty() ? scanned.refusedBaseUrl : scanned.baseUrl;
    AddDifferences("manifest.json", {{"baseUrl", WideToUtf8(read), ParsedField(root, "baseUrl", "")}}, problems);
    const std::vector<json> packages = ParsedEntries(root, "packages", problems);
    const std::vector<json> skills = ParsedEntries(root, "skills", problems);
    CompareEntries(EntryKind::Package, "packages", scanned.packages, packages, problems);
    CompareEntries(EntryKind::Skill, "skills", scanned.skills, skills, problems);
    return problems;
}
