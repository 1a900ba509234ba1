// Every configuration text the installer writes, read back by a real JSON parser: over a set of
// templates laid out the ways a release may ship them and over choices with the characters
// JSON must escape, the files parse and hold what the user chose.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "agentconfig/AgentConfigText.h"

using detail::ProviderBaseUrl;

namespace {

using nlohmann::json;

struct Template {
    const char* name;
    std::string text;
};

const std::vector<Template>& Templates()
{
    static const std::vector<Template> templates = {
        {"tools before gateway", R"({
  "models": {"mode": "merge", "providers": {"bailian": {"baseUrl": "https://old.invalid/v1", "api": "openai-completions"}}},
  "plugins": {"allow": ["memory"], "entries": {"memory": {"enabled": true}, "feishu": {"enabled": false}}},
  "skills": {"load": {"extraDirs": ["~/.harrowby/skills", "D:/more"], "watch": true}},
  "tools": {"profile": "coding", "web": {"search": {"enabled": true}}},
  "gateway": {"port": 18789, "bind": "loopback"}
}
)"},
        {"gateway first with its own mode", R"({
  "gateway": {
    "port": 18789,
    "mode": "remote",
    "auth": {"mode": "token"}
  },
  "tools": {
    "exec": {"host": "node"}
  },
  "models": {
    "providers": {
      "bailian": {
        "baseUrl": "https://old.invalid/v1"
      }
    }
  }
}
)"},
        {"no tools, no gateway, no skills", "{\n  \"models\": {\"providers\": {\"p\": {\"baseUrl\": \"x\"}}}\n}\n"},
        {"entries between neighbours", R"({
  "plugins": {
    "allow": [],
    "entries": {
      "a": {"enabled": true}
    },
    "load": {"paths": []}
  },
  "skills": {
    "load": {}
  }
}
)"},
        {"empty object", "{}\n"},
    };
    return templates;
}

std::vector<ConfigChoices> Choices()
{
    ConfigChoices plain{"C:\\Quillmere", "sk-plain", "qwen3.5-plus", "sk-mm", "18789", 0};
    ConfigChoices awkward{"D:\\Apps\\\"Quill\" mere\\\xE4\xB8\xAD\xE6\x96\x87", "sk-\"quoted\"\\back\tslash",
                          "model \"x\"", "sk-\\\\", "80", 1};
    ConfigChoices oddPort{"C:\\Q", "k", "m", "", "08", 0};
    return {plain, awkward, oddPort};
}

json Parse(const std::string& text, const std::string& what)
{
    try {
        return json::parse(text);
    } catch (const json::parse_error& error) {
        ADD_FAILURE() << what << " is not JSON: " << error.what() << "\n" << text;
        return json();
    }
}

std::string WithoutByteOrderMark(const std::string& text)
{
    return text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text;
}

TEST(AgentConfigJson, InstallerRecordHoldsTheChoices)
{
    for (const ConfigChoices& choices : Choices()) {
        const json record = Parse(WithoutByteOrderMark(InstallerConfigText(choices)), "config.json");
        EXPECT_EQ(record.value("apiKey", ""), choices.apiKey);
        EXPECT_EQ(record.value("model", ""), choices.model);
        EXPECT_EQ(record.value("dashscopeApiKey", ""), choices.dashscopeKey);
        const json& port = record["gatewayPort"];
        EXPECT_TRUE(port.is_number() ? std::to_string(port.get<int>()) == choices.port : port == choices.port)
            << "a port that is no JSON number is kept as text: " << choices.port;
    }
}

void ExpectPatchedConfiguration(const json& config, const ConfigChoices& choices, const std::string& why)
{
    EXPECT_EQ(config["skills"]["load"]["extraDirs"], json::array({SkillsDirFromInstallPath(choices.installPath)}))
        << why;
    ASSERT_TRUE(config["tools"].contains("exec")) << why;
    EXPECT_TRUE(config["gateway"].contains("mode")) << why;
    if (config.contains("plugins")) {
        EXPECT_FALSE(config["plugins"].contains("entries")) << why;
    }
}

TEST(AgentConfigJson, PatchedTemplatesStayJsonAndHoldTheChoices)
{
    for (const Template& source : Templates()) {
        for (const ConfigChoices& choices : Choices()) {
            const std::string why = std::string(source.name) + " / " + choices.installPath;
            const json before = Parse(source.text, why);
            std::string text = source.text;
            PatchAgentConfig(text, choices);
            const json config = Parse(text, "patched " + why);
            ExpectPatchedConfiguration(config, choices, why);
            const json& gatewayBefore = before.contains("gateway") ? before["gateway"] : json::object();
            EXPECT_EQ(config["gateway"]["mode"], gatewayBefore.value("mode", "local")) << why;
            EXPECT_EQ(config["tools"]["exec"],
                      before.contains("tools") && before["tools"].contains("exec")
                          ? before["tools"]["exec"]
                          : json({{"host", "gateway"}, {"security", "full"}}))
                << why;
            if (text.find("baseUrl") != std::string::npos) {
                const json first = config["models"]["providers"].begin().value();
                EXPECT_EQ(first["baseUrl"], ProviderBaseUrl(choices.apiProvider)) << why;
            }
        }
    }
}

TEST(AgentConfigJson, MinimalConfigurationHoldsTheChoicesBeforeAndAfterThePatches)
{
    for (const ConfigChoices& choices : Choices()) {
        std::string text = MinimalAgentConfigText(choices);
        const json minimal = Parse(text, "minimal configuration for " + choices.installPath);
        PatchAgentConfig(text, choices);
        const json patched = Parse(text, "patched minimal configuration for " + choices.installPath);
        EXPECT_EQ(minimal, patched) << "the patches find everything already in place";
        ExpectPatchedConfiguration(patched, choices, choices.installPath);
        EXPECT_EQ(patched["ai"]["model"], choices.model);
        EXPECT_EQ(patched["ai"]["apiKey"], choices.apiKey);
        EXPECT_EQ(patched["ai"]["baseUrl"], ProviderBaseUrl(choices.apiProvider));
    }
}

TEST(AgentConfigJson, AuthProfilesHoldTheKey)
{
    const std::string source = R"({"profiles": {"bailian:default": {"key": "__API_KEY_PLACEHOLDER__"}},
                                   "spare": "__API_KEY_PLACEHOLDER__"})";
    for (const ConfigChoices& choices : Choices()) {
        const json profiles = Parse(FillAuthProfilesKey(source, choices.apiKey), "auth-profiles.json");
        EXPECT_EQ(profiles["profiles"]["bailian:default"]["key"], choices.apiKey);
        EXPECT_EQ(profiles["spare"], "__API_KEY_PLACEHOLDER__") << "only the first placeholder is filled";
    }
}

} // namespace
