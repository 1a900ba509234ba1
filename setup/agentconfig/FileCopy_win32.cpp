#include <windows.h>

#include <system_error>

#include "agentconfig/WholeFile.h"

// libstdc++'s copy_file on MinGW takes any existing target for the source itself (both report
// inode 0) and fails with "File exists" even with overwrite_existing, so a second installation
// could never replace a file. CopyFileW replaces it as Windows does.
void CopyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        const std::error_code error(static_cast<int>(GetLastError()), std::system_category());
        throw std::filesystem::filesystem_error("cannot copy file", from, to, error);
    }
}
