#include "Removal.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The registry keys the record wrote into.
std::vector<std::wstring> RecordedKeys(const InstallRecord& record)
{
    std::vector<std::wstring> keys = record.keys;
    for (const RecordedValue& value : record.values)
        if (std::find(keys.begin(), keys.end(), value.subkey) == keys.end()) keys.push_back(value.subkey);
    return keys;
}

bool IsUnder(const fs::path& path, const fs::path& folder)
{
    if (folder.empty()) return false;
    const fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

bool IsFolderWithContent(const fs::path& folder)
{
    std::error_code ignored;
    return fs::is_directory(folder, ignored) && !fs::is_empty(folder, ignored);
}

struct Removal {
    const InstallRecord& record;
    const InstallPlatform& platform;
    const RetryPacing& pacing;
    const RemovalChoice& choice;
    RemovalReport report{};

    bool Undoing() const { return choice.purpose == RemovalPurpose::UndoThisRun; }

    // The state directory holds the user's configuration and keys: the uninstaller leaves it unless asked.
    bool Spared(const fs::path& path) const
    {
        return !Undoing() && !choice.stateDirectory && (path == record.stateDir || IsUnder(path, record.stateDir));
    }

    void Note(const std::wstring& what, const FileResult& result)
    {
        if (result) report.removed.push_back({what});
        else report.failed.push_back({what, result.reason});
    }

    void Note(const std::wstring& what, const Outcome& outcome)
    {
        if (outcome) report.removed.push_back({what});
        else report.failed.push_back({what, outcome.error});
    }

    void RemoveTree(const fs::path& tree)
    {
        Note(tree.wstring(), Retried([&] { return platform.removeTree(tree); }, pacing));
    }

    void RemoveFile(const fs::path& file)
    {
        Note(file.wstring(), Retried([&] { return platform.removeFile(file); }, pacing));
    }

    // A folder with something of the user's inside stays, and so does everything above it.
    void RemoveFolder(const fs::path& folder)
    {
        if (IsFolderWithContent(folder)) {
            report.kept.push_back({folder.wstring(), L"其中还有其他文件"});
            return;
        }
        Note(folder.wstring(), Retried([&] { return platform.removeEmptyFolder(folder); }, pacing));
    }

    // The box names the state directory, so ticked it goes whole, with what the agent wrote there
    // since; only a folder of the agent's own name, whatever a damaged record might say.
    bool WholeStateDir() const
    {
        return !Undoing() && choice.stateDirectory && record.stateDir.filename() == ".harrowby";
    }

    bool LeftToStateDir(const fs::path& path) const
    {
        return WholeStateDir() && (path == record.stateDir || IsUnder(path, record.stateDir));
    }

    void Files()
    {
        for (const fs::path& tree : record.trees)
            if (!Spared(tree) && !LeftToStateDir(tree)) RemoveTree(tree);
        for (auto file = record.files.rbegin(); file != record.files.rend(); ++file)
            if (!Spared(file->path) && !LeftToStateDir(file->path) && !(Undoing() && file->existedBefore))
                RemoveFile(file->path);
        for (auto folder = record.folders.rbegin(); folder != record.folders.rend(); ++folder)
            if (!Spared(*folder) && !LeftToStateDir(*folder)) RemoveFolder(*folder);
        if (WholeStateDir()) RemoveTree(record.stateDir);
    }

    // Taken back value by value, so that what stood before comes back; the uninstaller removes our keys whole.
    void Registry()
    {
        if (!Undoing()) {
            for (const std::wstring& key : RecordedKeys(record))
                Note(L"HKCU\\" + key, platform.deleteRegistryKey(key.c_str()));
            return;
        }
        for (auto value = record.values.rbegin(); value != record.values.rend(); ++value) {
            const std::wstring what = L"HKCU\\" + value->subkey + L"\\" + value->name;
            const Outcome outcome =
                value->previous ? platform.writeRegistryString(value->subkey.c_str(), value->name.c_str(), *value->previous)
                                : platform.deleteRegistryValue(value->subkey.c_str(), value->name.c_str());
            Note(what, outcome);
        }
        for (auto key = record.keys.rbegin(); key != record.keys.rend(); ++key)
            Note(L"HKCU\\" + *key, platform.deleteRegistryKey(key->c_str()));
    }

    void Shortcut()
    {
        if (record.shortcut && !(Undoing() && record.shortcut->existedBefore)) RemoveFile(record.shortcut->path);
    }

    // Only the uninstaller clears the download folder: after a failed run it holds the log the user may need.
    void Downloads()
    {
        if (!Undoing() && !record.downloads.empty()) RemoveTree(record.downloads);
    }
};

}  // namespace

fs::path UninstallerCopiesFolder(const fs::path& temp)
{
    return temp / L"Quillmere_Uninstall";
}

void RemoveUninstallerCopies(const fs::path& folder, const InstallPlatform& platform)
{
    std::error_code error;
    for (auto entry = fs::directory_iterator(folder, error); !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const std::wstring name = entry->path().filename().wstring();
        if (name.starts_with(L"uninstall-") && name.ends_with(L".exe")) static_cast<void>(platform.removeFile(entry->path()));
    }
    static_cast<void>(platform.removeEmptyFolder(folder));
}

RemovalReport RemoveRecorded(const InstallRecord& record, const InstallPlatform& platform, const RetryPacing& pacing,
                             const RemovalChoice& choice)
{
    Removal removal{record, platform, pacing, choice};
    removal.Shortcut();
    removal.Files();
    removal.Registry();
    removal.Downloads();
    return std::move(removal.report);
}
