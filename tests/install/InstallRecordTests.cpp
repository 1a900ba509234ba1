#include <gtest/gtest.h>

#include <string>

#include "install/InstallRecord.h"

namespace fs = std::filesystem;

namespace {

InstallRecord EveryKind()
{
    InstallRecord record;
    record.installDir = fs::path(u8"/D/程序/Quillmere");
    record.stateDir = "/home/a/.harrowby";
    record.downloads = "/tmp/Quillmere_Setup";
    record.folders = {record.installDir, record.installDir / "dist"};
    record.files = {{record.installDir / "launcher.exe", false}, {record.installDir / "config.json", true},
                    {record.installDir / "100%\tdone", false}};
    record.trees = {record.installDir / "node_modules"};
    record.skills = {record.installDir / "skills" / "a"};
    record.keys = {L"Software\\Quillmere"};
    record.values = {{L"Software\\Quillmere", L"InstallPath", std::nullopt, false},
                     {L"Software\\Quillmere", L"Model", L"line one\nline two", false},
                     {L"Software\\Quillmere", L"ApiKey", L"sk-earlier-secret", true}};
    record.shortcut = RecordedFile{"/home/a/Desktop/Quillmere Gateway.lnk", false};
    record.playwright = "/home/a/ms-playwright";
    record.nodeInstalled = true;
    return record;
}

TEST(InstallRecord, ReadsBackWhatItWroteButNeverAnEarlierKey)
{
    const InstallRecord record = EveryKind();
    const std::string text = InstallRecordText(record);
    EXPECT_EQ(text.find("sk-earlier-secret"), std::string::npos) << text;
    const std::u8string launcher = (record.installDir / "launcher.exe").u8string();
    EXPECT_NE(text.find("file\tnew\t" + std::string(launcher.begin(), launcher.end()) + "\n"), std::string::npos)
        << "a path reads as it is:\n" << text;
    const std::optional<InstallRecord> read = ParseInstallRecord(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->installDir, record.installDir);
    EXPECT_EQ(read->folders, record.folders);
    ASSERT_EQ(read->files.size(), 3u);
    EXPECT_EQ(read->files[2].path, record.installDir / "100%\tdone") << "a tab and the escape character survive";
    EXPECT_TRUE(read->files[1].existedBefore);
    EXPECT_EQ(read->trees, record.trees);
    EXPECT_EQ(read->skills, record.skills);
    EXPECT_EQ(read->keys, record.keys);
    ASSERT_EQ(read->values.size(), 3u);
    EXPECT_FALSE(read->values[0].previous);
    EXPECT_EQ(read->values[1].previous, L"line one\nline two");
    EXPECT_TRUE(read->values[2].secret);
    ASSERT_TRUE(read->shortcut);
    EXPECT_EQ(read->shortcut->path, record.shortcut->path);
    EXPECT_EQ(read->playwright, record.playwright);
    EXPECT_TRUE(read->nodeInstalled);
    EXPECT_EQ(read->downloads, record.downloads);
    EXPECT_EQ(read->stateDir, record.stateDir);
}

TEST(InstallRecord, RefusesTextThatIsNoWholeRecord)
{
    const std::string good = InstallRecordText(EveryKind());
    const struct { std::string text; const char* why; } rows[] = {
        {good.substr(0, good.size() - 1), "cut off in its last line"},
        {"some other file\n" + good.substr(good.find('\n') + 1), "another header"},
        {good + "file\tmaybe\t/x\n", "a file neither new nor replaced"},
        {good + "folder\t/x%G1\n", "a broken escape"},
        {"quillmere-install-record 1\nfolder\t/x\n", "no installation folder"},
    };
    for (const auto& row : rows) EXPECT_FALSE(ParseInstallRecord(row.text)) << row.why;
    EXPECT_TRUE(ParseInstallRecord(good + "later-word\tsomething\n")) << "a later installer's new item is skipped";
}

TEST(InstallRecord, AMergeKeepsWhatStoodBeforeTheFirstInstallation)
{
    InstallRecord earlier = EveryKind();
    InstallRecord later;
    later.installDir = earlier.installDir;
    later.files = {{earlier.installDir / "launcher.exe", true}, {earlier.installDir / "new.txt", false}};
    later.values = {{L"Software\\Quillmere", L"InstallPath", L"/D/程序/Quillmere", false}};
    later.folders = {earlier.installDir / "dist", earlier.installDir / "skills"};
    later.shortcut = RecordedFile{earlier.shortcut->path, true};
    const InstallRecord merged = MergeInstallRecords(earlier, later);
    ASSERT_EQ(merged.files.size(), 4u);
    EXPECT_FALSE(merged.files[0].existedBefore) << "the first installation made it";
    EXPECT_EQ(merged.files[3].path, earlier.installDir / "new.txt");
    EXPECT_FALSE(merged.values[0].previous) << "the value the first installation found absent";
    EXPECT_EQ(merged.folders.size(), 3u);
    EXPECT_FALSE(merged.shortcut->existedBefore);
    EXPECT_TRUE(merged.nodeInstalled);
}

}  // namespace
