#pragma once
#include <string>
#include <vector>

// The UTF-8 forms of the wizard's choices that the configuration texts are made from.
struct ConfigChoices { std::string installPath, apiKey, model, dashscopeKey, port; int apiProvider = 0; };

// The model endpoints of the two providers, and the gateway's fixed access token.
inline constexpr char BailianBaseUrl[] = "https://dashscope.aliyuncs.com/compatible-mode/v1";
inline constexpr char CodingPlanBaseUrl[] = "https://coding.dashscope.aliyuncs.com/v1";
inline constexpr char GatewayToken[] = "9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45";

// The value as the inside of a JSON string.
std::string JsonEscape(const std::string& value);
// "config.json": byte order mark and the four choices the product reads.
std::string InstallerConfigText(const ConfigChoices& choices);
// The skills folder as the agent reads it, with forward slashes.
std::string SkillsDirFromInstallPath(const std::string& installPath);
// The agent configuration written when the product ships no template.
std::string MinimalAgentConfigText(const ConfigChoices& choices);
// The five patches in order; the log lines of those that changed something.
std::vector<std::string> PatchAgentConfig(std::string& text, const ConfigChoices& choices);
// The auth-profiles template with its placeholder replaced by the key.
std::string FillAuthProfilesKey(std::string text, const std::string& apiKey);

// For the tests only: the steps the texts and patches above are made of.
namespace detail {
// The port as a JSON number, or as a string when it is no plain number.
std::string JsonPortValue(const std::string& port);
// The endpoint of provider 0, or of the coding plan for any other value.
std::string ProviderBaseUrl(int apiProvider);
// Appends a member to the outermost object; false when the text has no closing brace.
bool InsertBeforeFinalBrace(std::string& text, const std::string& member);
// Removes plugins.entries; its log line, or empty when there was none.
std::string RemovePluginEntries(std::string& text);
// Points skills.load.extraDirs at the skills folder, adding what is missing.
void SetSkillsExtraDirs(std::string& text, const std::string& skillsDir);
// Adds the exec tool unless tools has one; its log line, or empty.
std::string EnsureToolsExec(std::string& text);
// Replaces the first "baseUrl" value; its log line, or empty.
std::string SetBaseUrl(std::string& text, const std::string& endpoint);
// Adds the gateway block or its local mode where missing; its log line, or empty.
std::string EnsureGatewayMode(std::string& text, const std::string& port);
}  // namespace detail
