#include <gtest/gtest.h>

#include <windows.h>

#include "wizard/StoredSettings.h"

namespace {

// Each test starts from no stored key and leaves none behind.
class RegistrySettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey); }

    static void StoreString(const wchar_t* name, const std::wstring& value)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, name, REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    InstallerSettings Settings;

    static void StoreDword(const wchar_t* name, DWORD value)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsRegistryKey, name, REG_DWORD, &value, sizeof value),
                  ERROR_SUCCESS);
    }
};

TEST_F(RegistrySettingsTest, NoKeyGivesEveryDefault)
{
    Settings = LoadSettingsFromRegistry();
    EXPECT_EQ(Settings.installPath, L"C:\\Quillmere");
    EXPECT_EQ(Settings.apiKey, L"");
    EXPECT_EQ(Settings.model, L"qwen3.5-plus");
    EXPECT_EQ(Settings.port, L"18789");
    EXPECT_EQ(Settings.apiProvider, 0);
    EXPECT_EQ(Settings.dashscopeKey, L"");
}

TEST_F(RegistrySettingsTest, StoredStringsAreReadBackExactly)
{
    StoreString(L"InstallPath", L"D:\\应用\\Quillmere");
    StoreString(L"ApiKey", L"sk-main");
    StoreString(L"Model", L"qwen-max");
    StoreString(L"Port", L"28789");
    StoreString(L"ApiProvider", L"1");
    StoreString(L"DashscopeKey", L"sk-multi");
    Settings = LoadSettingsFromRegistry();
    EXPECT_EQ(Settings.installPath, L"D:\\应用\\Quillmere");
    EXPECT_EQ(Settings.apiKey, L"sk-main");
    EXPECT_EQ(Settings.model, L"qwen-max");
    EXPECT_EQ(Settings.port, L"28789");
    EXPECT_EQ(Settings.apiProvider, 1);
    EXPECT_EQ(Settings.dashscopeKey, L"sk-multi");
}

TEST_F(RegistrySettingsTest, OnlyTheExactTextOneSelectsTheCodingProvider)
{
    struct Row {
        const wchar_t* stored;
        int expected;
    } rows[] = {{L"1", 1}, {L"01", 0}, {L"1 ", 0}, {L"0", 0}, {L"", 0}, {L"2", 0}};
    for (const Row& row : rows) {
        StoreString(L"ApiProvider", row.stored);
        Settings = LoadSettingsFromRegistry();
        EXPECT_EQ(Settings.apiProvider, row.expected) << "stored \"" << testing::PrintToString(row.stored) << "\"";
    }
    StoreDword(L"ApiProvider", 1);
    Settings = LoadSettingsFromRegistry();
    EXPECT_EQ(Settings.apiProvider, 0) << "a DWORD is not a string value";
}

TEST_F(RegistrySettingsTest, WrongTypeFallsBackOnItsOwnAndLongValuesComeBackWhole)
{
    StoreDword(L"Port", 28789);
    StoreString(L"ApiKey", std::wstring(3000, L'k'));
    StoreString(L"DashscopeKey", std::wstring(1024, L'd'));
    StoreString(L"Model", L"kept");
    Settings = LoadSettingsFromRegistry();
    EXPECT_EQ(Settings.port, L"18789") << "a DWORD port counts as missing";
    EXPECT_EQ(Settings.apiKey, std::wstring(3000, L'k')) << "a long key is never cut short";
    EXPECT_EQ(Settings.dashscopeKey, std::wstring(1024, L'd')) << "past the old 1023-character buffer";
    EXPECT_EQ(Settings.model, L"kept") << "one bad value costs no other";
}

}  // namespace
