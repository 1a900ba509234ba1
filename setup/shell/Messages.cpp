#include "Messages.h"

std::atomic<bool> CancelRequested{false};
std::atomic<bool> InstallRunning{false};

// The window owns every posted string from the moment it arrives; wrapping the pointer
// at once means it is freed on every path, also when its control is missing.
std::unique_ptr<std::wstring> TakePostedString(std::intptr_t lParam)
{
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}
