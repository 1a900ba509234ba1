#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agentconfig/AgentConfigText.h"

using detail::JsonPortValue;
using detail::ProviderBaseUrl;
using detail::InsertBeforeFinalBrace;
using detail::RemovePluginEntries;
using detail::SetSkillsExtraDirs;
using detail::EnsureToolsExec;
using detail::SetBaseUrl;
using detail::EnsureGatewayMode;

namespace {

ConfigChoices PlainChoices(int apiProvider)
{
    ConfigChoices choices;
    choices.installPath = "C:\\Quillmere";
    choices.apiKey = "sk-test";
    choices.model = "qwen3.5-plus";
    choices.port = "18789";
    choices.apiProvider = apiProvider;
    return choices;
}

const char kExecMember[] = "\n    \"exec\": {\n      \"host\": \"gateway\",\n      \"security\": \"full\"\n    },";
const char kToolsLine[] = "  已注入 tools.exec (host=gateway, security=full)";
const char kModeLine[] = "  已注入 gateway.mode=local";

TEST(AgentConfigText, JsonEscapeChangesOnlyWhatJsonForbids)
{
    struct Row {
        std::string value, expected;
        const char* why;
    } rows[] = {
        {"sk-abc/def", "sk-abc/def", "plain text and slashes must stay byte for byte"},
        {"a\"b", "a\\\"b", "a bare quote would end the string early"},
        {"C:\\x", "C:\\\\x", "a bare backslash starts an invalid escape"},
        {"a\nb\rc\td", "a\\nb\\rc\\td", "raw line breaks and tabs are not allowed in a string"},
        {"\b\f", "\\b\\f", "backspace and form feed are control characters"},
        {std::string("\x01", 1), "\\u0001", "other control characters need the \\u form"},
        {std::string("\x1f", 1), "\\u001f", "the highest control character"},
        {std::string(1, '\0'), "\\u0000", "a NUL byte must not cut or pass raw"},
        {" ", " ", "space is the first character that needs no escape"},
        {"\x7f", "\x7f", "DEL is allowed raw; escaping it would change the bytes"},
        {"千问模型", "千问模型", "UTF-8 stays byte for byte"},
        {"", "", "an empty value stays empty"},
    };
    for (const Row& row : rows) EXPECT_EQ(JsonEscape(row.value), row.expected) << row.why;
}

TEST(AgentConfigText, PortIsBareOnlyWhenItIsAJsonNumber)
{
    struct Row {
        std::string port, expected;
        const char* why;
    } rows[] = {
        {"18789", "18789", "the default port is written without quotes"},
        {"0", "0", "a single zero is a JSON number"},
        {"65536", "65536", "range is the wizard's business, the text stays a number"},
        {"", "\"\"", "an empty port would leave a dangling member"},
        {"080", "\"080\"", "a leading zero is not a JSON number"},
        {"80a", "\"80a\"", "letters would be a bare word"},
        {"-1", "\"-1\"", "a sign is not a port"},
        {" 80", "\" 80\"", "blank before the digits"},
        {"8\"0", "\"8\\\"0\"", "a quote in a port is escaped once it becomes a string"},
    };
    for (const Row& row : rows) EXPECT_EQ(JsonPortValue(row.port), row.expected) << row.why;
}

TEST(AgentConfigText, InstallerRecordIsBomAndSixLfLines)
{
    struct Row {
        std::string apiKey, model, dashscopeKey, port;
        std::string line2, line3, line4, line5;
        const char* why;
    } rows[] = {
        {"sk-test", "qwen3.5-plus", "", "18789", "  \"apiKey\": \"sk-test\",", "  \"model\": \"qwen3.5-plus\",",
         "  \"dashscopeApiKey\": \"\",", "  \"gatewayPort\": 18789", "empty key gives two quotes, port bare without comma"},
        {"sk-a", "模型", "ds-1", "80", "  \"apiKey\": \"sk-a\",", "  \"model\": \"模型\",", "  \"dashscopeApiKey\": \"ds-1\",",
         "  \"gatewayPort\": 80", "non-ASCII stays unescaped UTF-8 and each field lands on its own line"},
        {"k\"1\\", "m\n", "d\t", "", "  \"apiKey\": \"k\\\"1\\\\\",", "  \"model\": \"m\\n\",", "  \"dashscopeApiKey\": \"d\\t\",",
         "  \"gatewayPort\": \"\"", "quotes, backslashes, control characters and an empty port keep the record valid JSON"},
    };
    for (const Row& row : rows) {
        ConfigChoices choices;
        choices.apiKey = row.apiKey;
        choices.model = row.model;
        choices.dashscopeKey = row.dashscopeKey;
        choices.port = row.port;
        const std::string expected =
            "\xEF\xBB\xBF{\n" + row.line2 + "\n" + row.line3 + "\n" + row.line4 + "\n" + row.line5 + "\n}\n";
        EXPECT_EQ(InstallerConfigText(choices), expected) << row.why;
    }
}

TEST(AgentConfigText, SkillsDirUsesSlashesAndTheSkillsFolder)
{
    struct Row {
        std::string installPath, expected;
        const char* why;
    } rows[] = {
        {"C:\\Quillmere", "C:/Quillmere/skills", "the worked example"},
        {"D:\\应用\\Quill mere", "D:/应用/Quill mere/skills", "every backslash replaced, UTF-8 and spaces kept"},
        {"E:/already/slashed", "E:/already/slashed/skills", "slashes are left alone"},
        {"", "/skills", "the folder name is appended even to an empty path"},
    };
    for (const Row& row : rows) EXPECT_EQ(SkillsDirFromInstallPath(row.installPath), row.expected) << row.why;
}

TEST(AgentConfigText, ProviderZeroIsBailianAndAnyOtherIsCodingPlan)
{
    struct Row {
        int apiProvider;
        std::string expected;
        const char* why;
    } rows[] = {
        {0, "https://dashscope.aliyuncs.com/compatible-mode/v1", "provider 0 is the compatible-mode endpoint"},
        {1, "https://coding.dashscope.aliyuncs.com/v1", "provider 1 is the coding-plan endpoint"},
        {2, CodingPlanBaseUrl, "an unknown stored value is not the compatible-mode endpoint"},
        {-1, CodingPlanBaseUrl, "a negative value is not provider 0"},
    };
    for (const Row& row : rows) EXPECT_EQ(ProviderBaseUrl(row.apiProvider), row.expected) << row.why;
}

TEST(AgentConfigText, MinimalConfigurationHasTheFixedLayout)
{
    const std::string expected = R"json({
  "ai": {
    "baseUrl": "https://dashscope.aliyuncs.com/compatible-mode/v1",
    "apiKey": "sk-test",
    "model": "qwen3.5-plus"
  },
  "gateway": {
    "port": 18789,
    "mode": "local",
    "bind": "loopback",
    "auth": {
      "mode": "token",
      "token": "9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45"
    },
    "controlUi": {
      "allowInsecureAuth": true
    }
  },
  "skills": {
    "load": {
      "extraDirs": ["C:/Quillmere/skills"]
    }
  },
  "tools": {
    "exec": {
      "host": "gateway",
      "security": "full"
    }
  }
}
)json";
    EXPECT_EQ(MinimalAgentConfigText(PlainChoices(0)), expected);
}

TEST(AgentConfigText, MinimalConfigurationEscapesItsValues)
{
    ConfigChoices choices = PlainChoices(1);
    choices.installPath = "C:\\a\"b";
    choices.apiKey = "k\\";
    choices.model = "m\"";
    const std::string text = MinimalAgentConfigText(choices);
    struct Row {
        std::string piece;
        const char* why;
    } rows[] = {
        {"    \"baseUrl\": \"https://coding.dashscope.aliyuncs.com/v1\",\n", "provider 1 picks the coding-plan endpoint"},
        {"    \"apiKey\": \"k\\\\\",\n", "a backslash in the key is escaped"},
        {"    \"model\": \"m\\\"\"\n", "a quote in the model is escaped"},
        {"      \"extraDirs\": [\"C:/a\\\"b/skills\"]\n", "a quote in the folder is escaped after the slash rewrite"},
    };
    for (const Row& row : rows) EXPECT_NE(text.find(row.piece), std::string::npos) << row.why;
}

TEST(AgentConfigText, MinimalConfigurationPassesThePatchesUnchanged)
{
    ConfigChoices tricky = PlainChoices(0);
    tricky.installPath = "D:\\应用\\\"Q\"";
    tricky.apiKey = "\"skills\"";
    tricky.port = "";
    struct Row {
        ConfigChoices choices;
        const char* why;
    } rows[] = {
        {PlainChoices(0), "each patch finds its member in place"},
        {PlainChoices(1), "the other endpoint is rewritten with itself"},
        {tricky, "escaped quotes in values must not look like anchors, a quoted port keeps mode within reach"},
    };
    for (const Row& row : rows) {
        const std::string minimal = MinimalAgentConfigText(row.choices);
        std::string text = minimal;
        const std::vector<std::string> lines = PatchAgentConfig(text, row.choices);
        EXPECT_EQ(text, minimal) << row.why;
        EXPECT_EQ(lines, std::vector<std::string>{"  baseUrl → " + ProviderBaseUrl(row.choices.apiProvider)}) << row.why;
    }
}

TEST(AgentConfigText, InsertBeforeFinalBracePlacesOneComma)
{
    const std::string member = "  \"m\": 1\n";
    struct Row {
        std::string text, expected;
        bool inserted;
        const char* why;
    } rows[] = {
        {"{\n  \"a\": {\n  }\n}\n", "{\n  \"a\": {\n  },\n  \"m\": 1\n}\n", true, "the worked example"},
        {"{\n  \"a\": 1\n}", "{\n  \"a\": 1,\n  \"m\": 1\n}", true, "the comma goes after the value, not before the line feed"},
        {"{\r\n  \"a\": 1\r\n}\r\n", "{\r\n  \"a\": 1,\r\n  \"m\": 1\n}\r\n", true, "carriage returns are skipped too"},
        {"{\"a\": 1,\n}", "{\"a\": 1,\n  \"m\": 1\n}", true, "an existing comma is not doubled"},
        {"{\"a\": 1\t}", "{\"a\": 1\t,  \"m\": 1\n}", true, "tabs are not skipped, the comma lands after the tab"},
        {"{\"a\": {\"b\": 1}}", "{\"a\": {\"b\": 1},  \"m\": 1\n}", true, "the last brace is used, not the first"},
        {"{}", "{  \"m\": 1\n}", true, "an empty object gets no comma"},
        {"{\n}\n", "{\n  \"m\": 1\n}\n", true, "an empty object across lines gets no comma"},
        {"{\t}", "{\t  \"m\": 1\n}", true, "a tab inside an empty object does not make it non-empty"},
        {"", "", false, "nothing to insert into"},
        {"[1, 2]", "[1, 2]", false, "no closing brace at all"},
        {"}", "}", false, "the only brace is the first byte"},
        {"}{", "}{", false, "the last brace is still the first byte"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        EXPECT_EQ(InsertBeforeFinalBrace(text, member), row.inserted) << row.why;
        EXPECT_EQ(text, row.expected) << row.why;
    }
}

TEST(AgentConfigText, RemovePluginEntriesLeavesOneSeparator)
{
    struct Row {
        std::string text, expected;
        bool logged;
        const char* why;
    } rows[] = {
        {"{\n  \"plugins\": {\n    \"a\": 1,\n    \"entries\": {\n      \"x\": {}\n    }\n  }\n}\n",
         "{\n  \"plugins\": {\n    \"a\": 1  }\n}\n", true, "a last member takes the comma before it"},
        {"{\n  \"plugins\": {\n    \"entries\": {\n      \"x\": 1\n    },\n    \"a\": 1\n  }\n}\n",
         "{\n  \"plugins\": {\n    \"a\": 1\n  }\n}\n", true, "a first member takes its indentation and the comma after it"},
        {"{\n  \"plugins\": {\n    \"entries\": {}\n  }\n}\n", "{\n  \"plugins\": {\n  }\n}\n", true,
         "an only member leaves an empty object"},
        {"{\"plugins\": {\"a\": 1, \"entries\": {\"x\": 2}, \"b\": 3}}", "{\"plugins\": {\"a\": 1, \"b\": 3}}", true,
         "between two neighbours one comma must stay"},
        {"{\n  \"plugins\": {\n    \"a\": 1,\n    \"entries\": {},\n    \"b\": 2\n  }\n}\n",
         "{\n  \"plugins\": {\n    \"a\": 1,\n    \"b\": 2\n  }\n}\n", true, "between two lines one comma must stay"},
        {"{\"plugins\": {\"entries\": {}\n, \"b\": 2}}", "{\"plugins\": { \"b\": 2}}", true,
         "a comma on the next line still goes with the first member"},
        {"{\r\n  \"plugins\": {\r\n    \"a\": 1,\r\n    \"entries\": {}\r\n  }\r\n}\r\n",
         "{\r\n  \"plugins\": {\r\n    \"a\": 1  }\r\n}\r\n", true, "carriage returns are white space on both sides"},
        {"{\"plugins\": {\"entries\": {\"x\": 1", "{\"plugins\": {", true, "an unbalanced object runs to the end"},
        {"{\"plugins\": {\"entries\": {\"x\": \"}\"}, \"a\": 1}}", "{\"plugins\": {\"}, \"a\": 1}}", true,
         "a brace inside a string counts like any other"},
        {"{\"plugins\": {\"a\": 1}}", "{\"plugins\": {\"a\": 1}}", false, "no entries member, nothing to remove"},
        {"{\"entries\": {}, \"plugins\": {}}", "{\"entries\": {}, \"plugins\": {}}", false,
         "plugins must come before entries"},
        {"\"plugins\" \"entries\": []", "\"plugins\" \"entries\": []", false, "no brace after entries"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const std::string line = RemovePluginEntries(text);
        EXPECT_EQ(text, row.expected) << row.why;
        EXPECT_EQ(line, row.logged ? "  已清理 plugins.entries" : "") << row.why;
    }
}

TEST(AgentConfigText, SetSkillsExtraDirsLeavesExactlyThisFolder)
{
    const std::string dir = "C:/Q/skills";
    struct Row {
        std::string skillsDir, text, expected;
        const char* why;
    } rows[] = {
        {dir, "{\"skills\": {\"load\": {\"extraDirs\": [\"a\", \"b\"]}}}",
         "{\"skills\": {\"load\": {\"extraDirs\": [\"C:/Q/skills\"]}}}", "several folders become one"},
        {dir, "{\"skills\": {\"load\": {\"extraDirs\": []}}}", "{\"skills\": {\"load\": {\"extraDirs\": [\"C:/Q/skills\"]}}}",
         "an empty list gets the folder"},
        {dir, "{\n  \"skills\": {\n    \"load\": {\n      \"watch\": true\n    }\n  }\n}\n",
         "{\n  \"skills\": {\n    \"load\": {\n        \"extraDirs\": [\"C:/Q/skills\"],\n      \"watch\": true\n    }\n  }\n}\n",
         "inserted as the first member of load, followed by a comma"},
        {dir, "{\"skills\": {\"load\": {}}}", "{\"skills\": {\"load\": {\n        \"extraDirs\": [\"C:/Q/skills\"]}}}",
         "an empty load object gets no trailing comma"},
        {dir, "{\n  \"skills\": {\n    \"x\": 1\n  }\n}\n",
         "{\n  \"skills\": {\n      \"load\": {\n        \"extraDirs\": [\"C:/Q/skills\"]\n      },\n    \"x\": 1\n  }\n}\n",
         "without load a load object is inserted first"},
        {dir, "{\"skills\": {}}", "{\"skills\": {\n      \"load\": {\n        \"extraDirs\": [\"C:/Q/skills\"]\n      }}}",
         "an empty skills object gets no trailing comma"},
        {dir, "{\n  \"a\": 1\n}\n",
         "{\n  \"a\": 1,\n  \"skills\": {\n    \"load\": {\n      \"extraDirs\": [\"C:/Q/skills\"]\n    }\n  }\n}\n",
         "without skills a whole section is appended"},
        {dir, "{\"extraDirs\": [\"a\"], \"skills\": {}}",
         "{\"extraDirs\": [\"a\"], \"skills\": {\n      \"load\": {\n        \"extraDirs\": [\"C:/Q/skills\"]\n      }}}",
         "extraDirs is searched only after skills"},
        {dir, "{\"skills\": {\"extraDirs\": 1}}", "{\"skills\": {\"extraDirs\": 1}}", "no list after extraDirs, nothing"},
        {dir, "[]", "[]", "no skills and no brace, nothing"},
        {"C:/a\"b/skills", "{\"skills\": {\"extraDirs\": []}}", "{\"skills\": {\"extraDirs\": [\"C:/a\\\"b/skills\"]}}",
         "a quote in the folder is escaped"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        SetSkillsExtraDirs(text, row.skillsDir);
        EXPECT_EQ(text, row.expected) << row.why;
    }
}

TEST(AgentConfigText, EnsureToolsExecLooksWithinFiftyBytes)
{
    const std::string head = "{\"tools\": {";
    struct Row {
        std::string text, expected;
        bool logged;
        const char* why;
    } rows[] = {
        {"{\"tools\": {\"exec\": {}}}", "{\"tools\": {\"exec\": {}}}", false, "an exec right after tools is kept"},
        {head + std::string(39, ' ') + "\"exec\": {}}}", head + std::string(39, ' ') + "\"exec\": {}}}", false,
         "49 bytes apart is still near"},
        {head + std::string(40, ' ') + "\"exec\": {}}}", head + kExecMember + std::string(40, ' ') + "\"exec\": {}}}", true,
         "50 bytes apart gets a second exec"},
        {"{\n  \"tools\": {\n    \"web\": true\n  }\n}\n",
         std::string("{\n  \"tools\": {") + kExecMember + "\n    \"web\": true\n  }\n}\n", true,
         "a tools object without exec gets it first"},
        {"{\"tools\": {}}", "{\"tools\": {\n    \"exec\": {\n      \"host\": \"gateway\",\n      \"security\": \"full\"\n    }}}",
         true, "an empty tools object gets no trailing comma"},
        {"{\"exec\": 1, \"tools\": {}}",
         "{\"exec\": 1, \"tools\": {\n    \"exec\": {\n      \"host\": \"gateway\",\n      \"security\": \"full\"\n    }}}", true,
         "an exec before any tools does not count"},
        {"{\n  \"a\": 1\n}\n",
         "{\n  \"a\": 1,\n  \"tools\": {\n    \"exec\": {\n      \"host\": \"gateway\",\n      \"security\": \"full\"\n    }\n  }\n}\n",
         true, "without tools a whole section is appended"},
        {"{\"tools\": 2}", "{\"tools\": 2}", false, "no brace after tools, nothing and no line"},
        {"", "", false, "nowhere to append, no line"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const std::string line = EnsureToolsExec(text);
        EXPECT_EQ(text, row.expected) << row.why;
        EXPECT_EQ(line, row.logged ? kToolsLine : "") << row.why;
    }
}

TEST(AgentConfigText, SetBaseUrlRewritesOnlyTheFirstSpacedMember)
{
    const std::string e = BailianBaseUrl;
    struct Row {
        std::string text, expected;
        bool logged;
        const char* why;
    } rows[] = {
        {"{\"baseUrl\": \"x\"}", "{\"baseUrl\": \"" + e + "\"}", true, "the value is replaced"},
        {"{\"baseUrl\": \"\"}", "{\"baseUrl\": \"" + e + "\"}", true, "an empty value receives the endpoint"},
        {"{\"baseUrl\":\"x\"}", "{\"baseUrl\":\"x\"}", false, "no space after the colon is not recognised"},
        {"{\"baseUrl\":  \"x\"}", "{\"baseUrl\":  \"x\"}", false, "two spaces are not recognised"},
        {"{\"a\": {\"baseUrl\": \"x\"}, \"b\": {\"baseUrl\": \"y\"}}",
         "{\"a\": {\"baseUrl\": \"" + e + "\"}, \"b\": {\"baseUrl\": \"y\"}}", true, "only the first member changes"},
        {"{\"baseUrl\": \"x", "{\"baseUrl\": \"x", false, "no closing quote, nothing"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const std::string line = SetBaseUrl(text, e);
        EXPECT_EQ(text, row.expected) << row.why;
        EXPECT_EQ(line, row.logged ? "  baseUrl → " + e : "") << row.why;
    }
}

TEST(AgentConfigText, EnsureGatewayModeLooksWithinTwoHundredBytes)
{
    const std::string head = "{\"gateway\": {";
    const std::string section =
        "  \"gateway\": {\n    \"port\": 18789,\n    \"mode\": \"local\",\n    \"bind\": \"loopback\",\n"
        "    \"auth\": {\n      \"mode\": \"token\",\n      \"token\": \"9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45\"\n"
        "    },\n    \"controlUi\": {\n      \"allowInsecureAuth\": true\n    }\n  }\n";
    struct Row {
        std::string text, expected, line;
        const char* why;
    } rows[] = {
        {"{\"gateway\": {\"port\": 1, \"mode\": \"x\"}}", "{\"gateway\": {\"port\": 1, \"mode\": \"x\"}}", "",
         "an existing mode is kept"},
        {head + std::string(198, ' ') + "\"mode\": 1}}", head + std::string(198, ' ') + "\"mode\": 1}}", "",
         "199 bytes after the brace is still near"},
        {head + std::string(199, ' ') + "\"mode\": 1}}",
         head + "\n    \"mode\": \"local\"," + std::string(199, ' ') + "\"mode\": 1}}", kModeLine,
         "200 bytes after the brace gets its own mode"},
        {"{\"gateway\": {\"auth\": {\"mode\": \"token\"}}}", "{\"gateway\": {\"auth\": {\"mode\": \"token\"}}}", "",
         "a nested mode within reach counts"},
        {"{\"tools\": {\"host\": \"gateway\"}, \"x\": {}, \"gateway\" : {}}",
         "{\"tools\": {\"host\": \"gateway\"}, \"x\": {}, \"gateway\" : {\n    \"mode\": \"local\"}}", kModeLine,
         "a gateway value is passed over for the gateway member"},
        {"{\"channels\": {\"gateway\": {}}, \"gateway\": {}}",
         "{\"channels\": {\"gateway\": {\n    \"mode\": \"local\"}}, \"gateway\": {}}", kModeLine,
         "the first gateway member anywhere counts, nested or not"},
        {"{\"gateway\": {}}", "{\"gateway\": {\n    \"mode\": \"local\"}}", kModeLine, "an empty gateway gets no trailing comma"},
        {"{\n  \"a\": 1\n}\n", "{\n  \"a\": 1,\n" + section + "}\n", "  已注入完整 gateway 配置段",
         "without gateway the whole section is appended"},
        {"{\"gateway\": 1}", "{\"gateway\": 1}", "", "no brace after gateway, nothing"},
        {"{\"a\": \"gateway\"}", "{\"a\": \"gateway\"," + section + "}", "  已注入完整 gateway 配置段",
         "a gateway value alone is no gateway object"},
        {"", "", "", "nowhere to append, no line"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const std::string line = EnsureGatewayMode(text, "18789");
        EXPECT_EQ(text, row.expected) << row.why;
        EXPECT_EQ(line, row.line) << row.why;
    }
}

TEST(AgentConfigText, PatchAgentConfigRunsTheFivePatchesInOrder)
{
    const std::string realistic = R"json({
  "models": {
    "providers": {
      "bailian": {
        "baseUrl": "https://example.invalid/v1",
        "api": "openai-completions"
      }
    }
  },
  "gateway": {
    "port": 18789,
    "bind": "loopback"
  },
  "plugins": {
    "allow": ["memory"],
    "entries": {
      "memory": {
        "enabled": true
      }
    }
  },
  "skills": {
    "load": {
      "extraDirs": ["C:/old/skills", "D:/more"]
    }
  },
  "tools": {
    "web": {
      "enabled": true
    }
  }
}
)json";
    const std::string realisticPatched = R"json({
  "models": {
    "providers": {
      "bailian": {
        "baseUrl": "https://coding.dashscope.aliyuncs.com/v1",
        "api": "openai-completions"
      }
    }
  },
  "gateway": {
    "mode": "local",
    "port": 18789,
    "bind": "loopback"
  },
  "plugins": {
    "allow": ["memory"]  },
  "skills": {
    "load": {
      "extraDirs": ["C:/Quillmere/skills"]
    }
  },
  "tools": {
    "exec": {
      "host": "gateway",
      "security": "full"
    },
    "web": {
      "enabled": true
    }
  }
}
)json";
    const std::string skillsToolsAndGateway = R"json(,
  "skills": {
    "load": {
      "extraDirs": ["C:/Quillmere/skills"]
    }
  },
  "tools": {
    "exec": {
      "host": "gateway",
      "security": "full"
    }
  },
  "gateway": {
    "port": 18789,
    "mode": "local",
    "bind": "loopback",
    "auth": {
      "mode": "token",
      "token": "9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45"
    },
    "controlUi": {
      "allowInsecureAuth": true
    }
  }
}
)json";
    const std::string execOnly = "{\n  \"tools\": {\n    \"exec\": {\n      \"host\": \"node\"\n    }\n  }";
    const std::string skillsAndGateway = R"json(,
  "skills": {
    "load": {
      "extraDirs": ["C:/Quillmere/skills"]
    }
  },
  "gateway": {
    "port": 18789,
    "mode": "local",
    "bind": "loopback",
    "auth": {
      "mode": "token",
      "token": "9f2b0e7d41a6c3580be9d27f16a4c05e83d9b712f0ac6e45"
    },
    "controlUi": {
      "allowInsecureAuth": true
    }
  }
}
)json";
    struct Row {
        std::string text, expected;
        std::vector<std::string> lines;
        const char* why;
    } rows[] = {
        {realistic, realisticPatched,
         {"  已清理 plugins.entries", kToolsLine, "  baseUrl → https://coding.dashscope.aliyuncs.com/v1", kModeLine},
         "each patch acts once and the lines keep patch order"},
        {"{\n  \"ai\": {\n    \"model\": \"m\"\n  }\n}\n", "{\n  \"ai\": {\n    \"model\": \"m\"\n  }" + skillsToolsAndGateway,
         {kToolsLine, "  已注入完整 gateway 配置段"}, "the injected host value is no gateway object, so the section follows"},
        {execOnly + "\n}\n", execOnly + skillsAndGateway, {"  已注入完整 gateway 配置段"},
         "with no gateway word anywhere the whole section is appended after skills"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const std::vector<std::string> lines = PatchAgentConfig(text, PlainChoices(1));
        EXPECT_EQ(text, row.expected) << row.why;
        EXPECT_EQ(lines, row.lines) << row.why;
    }
}

}  // namespace
