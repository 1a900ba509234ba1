#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "wizard/WriteCheck.h"

namespace fs = std::filesystem;

namespace {

// Folders in memory, with the places where Windows would answer ERROR_ACCESS_DENIED.
struct FakeDisk {
    std::set<fs::path> folders;
    std::set<fs::path> refusing;   // nothing may be created inside these
    std::set<fs::path> appearing;  // made by another program just before the check's own create
    std::vector<std::string> calls;
};

FolderCalls CallsOn(FakeDisk& disk)
{
    return {
        [&disk](const fs::path& path) { return disk.folders.count(path) > 0; },
        [&disk](const fs::path& folder) {
            disk.calls.push_back("create " + folder.generic_string());
            if (disk.appearing.count(folder)) disk.folders.insert(folder);
            if (disk.folders.count(folder)) return FolderCreation::AlreadyThere;
            if (disk.refusing.count(folder.parent_path()) || !disk.folders.count(folder.parent_path()))
                return FolderCreation::Failed;
            disk.folders.insert(folder);
            return FolderCreation::Created;
        },
        [&disk](const fs::path& file) {
            disk.calls.push_back("write " + file.generic_string());
            return disk.folders.count(file.parent_path()) > 0 && !disk.refusing.count(file.parent_path());
        },
        [&disk](const fs::path& folder) {
            disk.calls.push_back("remove " + folder.generic_string());
            disk.folders.erase(folder);
        },
    };
}

TEST(WriteCheck, CreatesWritesAndRemovesOnlyWhatItCreated)
{
    const std::string probe = "/quillmere-write-test.tmp";
    const struct Row {
        fs::path target;
        std::set<fs::path> folders;
        std::set<fs::path> refusing;
        std::set<fs::path> appearing;
        bool writable;
        std::vector<std::string> calls;
        const char* why;
    } rows[] = {
        {"/c/Quillmere", {"/c", "/c/Quillmere"}, {}, {}, true, {"write /c/Quillmere" + probe},
         "a folder that exists is written into and kept"},
        {"/c/Apps/Quillmere", {"/c"}, {}, {}, true,
         {"create /c/Apps", "create /c/Apps/Quillmere", "write /c/Apps/Quillmere" + probe, "remove /c/Apps/Quillmere",
          "remove /c/Apps"},
         "missing parents are created outermost first and removed innermost first"},
        {"/c/Program Files/Quillmere", {"/c", "/c/Program Files", "/c/Program Files/Quillmere"},
         {"/c/Program Files/Quillmere"}, {}, false, {"write /c/Program Files/Quillmere" + probe},
         "an earlier installation's folder the user cannot write to"},
        {"/c/Program Files/Quillmere", {"/c", "/c/Program Files"}, {"/c/Program Files"}, {}, false,
         {"create /c/Program Files/Quillmere"},
         "a parent that refuses new folders: nothing is created, nothing written"},
        {"/c/Apps/Quillmere", {"/c"}, {"/c/Apps"}, {}, false,
         {"create /c/Apps", "create /c/Apps/Quillmere", "remove /c/Apps"},
         "refused half-way: the folder already made is removed again"},
        {"/c/Apps/Quillmere", {"/c"}, {"/c/Apps/Quillmere"}, {}, false,
         {"create /c/Apps", "create /c/Apps/Quillmere", "write /c/Apps/Quillmere" + probe, "remove /c/Apps/Quillmere",
          "remove /c/Apps"},
         "a folder that can be made but not written into is refused, and removed"},
        {"/c/Apps/Quillmere", {"/c"}, {}, {"/c/Apps"}, true,
         {"create /c/Apps", "create /c/Apps/Quillmere", "write /c/Apps/Quillmere" + probe, "remove /c/Apps/Quillmere"},
         "a folder another program made meanwhile is not the check's to remove"},
        {"/", {}, {}, {}, false, {"create /"}, "a drive that is not there"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        FakeDisk disk{row.folders, row.refusing, row.appearing, {}};
        EXPECT_EQ(CanWriteFolder(row.target, CallsOn(disk)), row.writable);
        EXPECT_EQ(disk.calls, row.calls);
        std::set<fs::path> left = row.folders;
        left.insert(row.appearing.begin(), row.appearing.end());
        EXPECT_EQ(disk.folders, left) << "the disk is as it was, but for what others made";
    }
}

}  // namespace
