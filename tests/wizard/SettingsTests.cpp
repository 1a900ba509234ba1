#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "wizard/StoredSettings.h"

using detail::ApiProviderFromText;

namespace {

TEST(StoredSettings, ValuesAreReadInOrderAndEachFallsBackAlone)
{
    std::vector<std::wstring> asked;
    const std::map<std::wstring, std::wstring> stored = {{L"Model", L"qwen-max"}, {L"ApiProvider", L"1"}};
    InstallerSettings settings;
    settings.apiKey = L"stale";
    ApplyStoredSettings(settings, [&](const wchar_t* name) -> std::optional<std::wstring> {
        asked.push_back(name);
        auto it = stored.find(name);
        if (it == stored.end()) return std::nullopt;
        return it->second;
    });
    const std::vector<std::wstring> order = {L"InstallPath", L"ApiKey", L"Model", L"Port", L"ApiProvider",
                                             L"DashscopeKey"};
    EXPECT_EQ(asked, order);
    EXPECT_EQ(settings.installPath, L"C:\\Quillmere");
    EXPECT_EQ(settings.apiKey, L"") << "a missing key clears what was there";
    EXPECT_EQ(settings.model, L"qwen-max");
    EXPECT_EQ(settings.port, L"18789");
    EXPECT_EQ(settings.apiProvider, 1);
    EXPECT_EQ(settings.dashscopeKey, L"");
}

TEST(StoredSettings, ProviderTextMapping)
{
    EXPECT_EQ(ApiProviderFromText(L"1"), 1);
    for (const wchar_t* text : {L"0", L"01", L"1 ", L" 1", L"", L"true", L"2"})
        EXPECT_EQ(ApiProviderFromText(text), 0) << testing::PrintToString(std::wstring(text));
}

TEST(StoredSettings, DefaultsHoldBeforeAnythingIsRead)
{
    const InstallerSettings fresh;
    EXPECT_EQ(fresh.installPath, L"");
    EXPECT_EQ(fresh.model, L"qwen3.5-plus");
    EXPECT_EQ(fresh.port, L"18789");
    EXPECT_EQ(fresh.apiProvider, 0);
}

}  // namespace
