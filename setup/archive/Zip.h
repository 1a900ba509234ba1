#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Outcome.h"
#include "base/Retry.h"

// Why an entry of an archive did not become a file.
enum class EntryProblem {
    CrcMismatch, InflateFailed, WriteFailed, TooLarge, Encrypted, UnsupportedMethod, UnsafeName, ArchiveEndsEarly,
    NameNotUtf8,    // a name in a legacy code page, which cannot be told apart from another reliably
    DuplicateName,  // a file Windows would take for an earlier entry's: that one is kept
};

// One entry that should have become a file and did not. Folders and macOS metadata are never listed.
struct EntryFailure {
    std::string name;  // as the archive spells it, UTF-8
    EntryProblem problem;
};

// A file an extraction wrote, and whether one stood under its name before.
struct ExtractedFile {
    std::filesystem::path path;
    bool existedBefore = false;
};

// What one extraction did.
struct ExtractReport {
    Outcome archive;  // fails when the file cannot be read, or ends before its end record (cut off or no ZIP)
    int filesWritten = 0;
    std::vector<EntryFailure> failures;  // in archive order
    int threads = 1;                     // how many threads wrote the files
    bool refusedForRoom = false;         // the room check said no: nothing was written, archive says why
    bool cancelled = false;              // pacing's cancel flag stopped it between entries; nothing else is counted
    std::vector<ExtractedFile> written;  // in archive order
    std::vector<std::filesystem::path> foldersMade;  // that stood nowhere before, each after its parent

    // The archive was read to its end, every entry became a file, and there was at least one.
    bool Complete() const { return archive && filesWritten > 0 && failures.empty(); }
};

// Asked once before anything is written, with the sum of the sizes the central directory declares:
// nothing when they fit, else why not, in words the user reads.
using RoomCheck = std::function<std::optional<std::wstring>(uint64_t declaredBytes)>;

// The reason in words the user reads, e.g. "CRC 校验失败".
std::wstring EntryProblemText(EntryProblem problem);
// Unpacks every entry into destDir, checking each file's CRC-32; a file that failed its CRC or its
// write is removed again. Writes another program refuses for a moment are tried again as pacing says.
// Files are written on up to one thread per core (at most eight), so pacing's sleep and cancel flag may
// be used from several threads at once and must be safe for that. Its cancel flag also stops the
// extraction between entries: what was not reached is neither written nor a failure.
ExtractReport ExtractZip(const std::wstring& zipPath, const std::wstring& destDir, const RetryPacing& pacing = {},
                         const RoomCheck& roomFor = {});
// The folder and those of its parents that do not stand yet, outermost first: what creating it would make.
std::vector<std::filesystem::path> MissingFolders(const std::filesystem::path& folder);

// For the tests only: a folder maker the extraction tests check on its own.
namespace detail {
// Creates a folder and its parents; true also when something of that name already stands there.
bool CreateDirectoryTree(const std::wstring& path);
}  // namespace detail
