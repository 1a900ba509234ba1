#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A file an installation wrote, and whether one stood under its name before.
struct RecordedFile {
    std::filesystem::path path;
    bool existedBefore = false;
};

// A string value an installation wrote under HKEY_CURRENT_USER, and what it held before.
struct RecordedValue {
    std::wstring subkey;
    std::wstring name;
    std::optional<std::wstring> previous;  // nothing: there was no such value
    bool secret = false;  // an API key: its earlier text stays in memory, never in the file
};

// What the installations into one folder created and changed, each list in the order it happened.
struct InstallRecord {
    std::filesystem::path installDir;
    std::filesystem::path stateDir;   // the agent's state directory, once written into
    std::filesystem::path downloads;  // the download and log folder, when an installation created it
    std::vector<std::filesystem::path> folders;  // created by an installation, each after its parent
    std::vector<RecordedFile> files;
    std::vector<std::filesystem::path> trees;   // node_modules folders npm created in folders of ours
    std::vector<std::filesystem::path> skills;  // the skill folders installed
    std::vector<std::wstring> keys;             // registry keys an installation created
    std::vector<RecordedValue> values;
    std::optional<RecordedFile> shortcut;
    std::filesystem::path playwright;  // the browsers' folder, when an installation put it there
    bool nodeInstalled = false;
};

// The record's file in the installation folder.
inline constexpr wchar_t kInstallRecordName[] = L"uninstall.dat";

// The record as UTF-8 text, one item a line; an earlier value that is a key is left out.
std::string InstallRecordText(const InstallRecord& record);
// The record read back; nothing when the text is no record of ours.
std::optional<InstallRecord> ParseInstallRecord(const std::string& text);
// An earlier record with what a later installation added: what stood before the earlier one counts.
InstallRecord MergeInstallRecords(const InstallRecord& earlier, const InstallRecord& later);
// Additions that keep the first word on each item: a second write of a file or value changes nothing.
void RecordFolder(InstallRecord& record, const std::filesystem::path& folder);
void RecordFile(InstallRecord& record, const std::filesystem::path& file, bool existedBefore);
void RecordValue(InstallRecord& record, RecordedValue value);
