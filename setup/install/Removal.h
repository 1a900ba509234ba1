#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "InstallRecord.h"
#include "Platform.h"
#include "base/Retry.h"

// Why the recorded items are being removed: a first installation that did not finish is taken back
// (nothing that stood before is touched, earlier registry values come back), or the user removes
// Quillmere (every item of ours goes; the state directory only when asked).
enum class RemovalPurpose { UndoThisRun, Uninstall };

struct RemovalChoice {
    RemovalPurpose purpose = RemovalPurpose::UndoThisRun;
    bool stateDirectory = false;  // the uninstaller's check box
};

// One item and, for one that stays, why.
struct RemovalItem {
    std::wstring what;
    std::wstring why{};
};

// What a removal did: what went, what could not go (still in use after the retries, refused), and
// the folders kept because something not ours is inside.
struct RemovalReport {
    std::vector<RemovalItem> removed;
    std::vector<RemovalItem> failed;
    std::vector<RemovalItem> kept;
};

// Removes what the record lists, in reverse order: npm's folders, files, then the folders if empty,
// the registry, the shortcut. Never anything the record does not list.
RemovalReport RemoveRecorded(const InstallRecord& record, const InstallPlatform& platform, const RetryPacing& pacing,
                             const RemovalChoice& choice);
// Where an uninstaller runs from, below the temporary folder, so that it can remove its own file.
std::filesystem::path UninstallerCopiesFolder(const std::filesystem::path& temp);
// Removes the copies earlier uninstallers left there; one still running stays until the next time.
void RemoveUninstallerCopies(const std::filesystem::path& folder, const InstallPlatform& platform);
