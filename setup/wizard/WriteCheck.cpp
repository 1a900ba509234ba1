#include "WriteCheck.h"

#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kProbeFileName[] = L"quillmere-write-test.tmp";

// The folders from the deepest that is missing up to the outermost, which stands on one that exists.
std::vector<fs::path> MissingFolders(const fs::path& folder, const FolderCalls& calls)
{
    std::vector<fs::path> missing;
    for (fs::path at = folder; !calls.isFolder(at); at = at.parent_path()) {
        missing.push_back(at);
        if (at.parent_path() == at || at.parent_path().empty()) break;
    }
    return missing;
}

// Innermost first, so that each folder is empty when its turn comes.
void RemoveFolders(const std::vector<fs::path>& created, const FolderCalls& calls)
{
    for (auto folder = created.rbegin(); folder != created.rend(); ++folder) calls.removeFolder(*folder);
}

}  // namespace

// A folder that was already there, or that appeared while the check ran, is never removed: only
// what the check created goes, so that nothing of the user's is lost to it.
bool CanWriteFolder(const fs::path& folder, const FolderCalls& calls)
{
    const std::vector<fs::path> missing = MissingFolders(folder, calls);
    std::vector<fs::path> created;  // outermost first
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        const FolderCreation creation = calls.createFolder(*at);
        if (creation == FolderCreation::Failed) {
            RemoveFolders(created, calls);
            return false;
        }
        if (creation == FolderCreation::Created) created.push_back(*at);
    }
    const bool written = calls.writeAndDeleteFile(folder / kProbeFileName);
    RemoveFolders(created, calls);
    return written;
}

std::wstring UnwritableFolderText(const std::wstring& folder)
{
    return L"无法写入安装目录：\n" + folder + L"\n\n当前用户没有在此目录中创建文件的权限，请选择其他安装目录。";
}
