#pragma once
#include <string>
#include <vector>

// The UTF-8 forms of the wizard's choices that the configuration texts are made from.
struct ConfigChoices { std::string installPath, apiKey, model, dashscopeKey, port; int apiProvider = 0; };

inline constexpr char BailianBaseUrl[] = "https://dashscope.aliyuncs.com/compatible-mode/v1";
inline constexpr char CodingPlanBaseUrl[] = "https://coding.dashscope.aliyuncs.com/v1";
inline constexpr char GatewayToken[] = "9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45";

std::string JsonEscape(const std::string& value);
std::string JsonPortValue(const std::string& port);
std::string InstallerConfigText(const ConfigChoices& choices);
std::string SkillsDirFromInstallPath(const std::string& installPath);
std::string ProviderBaseUrl(int apiProvider);
std::string MinimalAgentConfigText(const ConfigChoices& choices);
bool InsertBeforeFinalBrace(std::string& text, const std::string& member);
std::string RemovePluginEntries(std::string& text);
void SetSkillsExtraDirs(std::string& text, const std::string& skillsDir);
std::string EnsureToolsExec(std::string& text);
std::string SetBaseUrl(std::string& text, const std::string& endpoint);
std::string EnsureGatewayMode(std::string& text, const std::string& port);
std::vector<std::string> PatchAgentConfig(std::string& text, const ConfigChoices& choices);
std::string FillAuthProfilesKey(std::string text, const std::string& apiKey);
