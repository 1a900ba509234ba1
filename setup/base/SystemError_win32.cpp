#include "SystemError.h"

#include <windows.h>

#include <cerrno>

namespace {

// The C runtime's codes for what the file system refuses, as the system codes they came from;
// msvcrt maps them one way only.
DWORD SystemCodeOfErrno(int value)
{
    switch (value) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case EISDIR: return ERROR_DIRECTORY;
    case ENOTDIR: return ERROR_DIRECTORY;
    case EIO: return ERROR_GEN_FAILURE;
    default: return 0;
    }
}

}  // namespace

// FormatMessageA would give the text in the ANSI code page, which is GBK on a Chinese Windows.
std::wstring SystemErrorText(uint32_t code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.' || text.back() == L'\u3002'))
        text.pop_back();
    if (text.empty()) text = L"系统错误 " + std::to_wstring(code);
    return text;
}

std::wstring ErrorCodeText(const std::error_code& error)
{
    if (error.category() == std::system_category()) return SystemErrorText(static_cast<uint32_t>(error.value()));
    if (error.category() == std::generic_category())
        if (const DWORD code = SystemCodeOfErrno(error.value())) return SystemErrorText(code);
    // Our own categories speak ASCII; anything else is passed on byte for byte.
    const std::string message = error.message();
    return std::wstring(message.begin(), message.end());
}
