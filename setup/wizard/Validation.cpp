#include "Validation.h"

#include <string_view>

#include "base/Split.h"
#include "base/WindowsNames.h"

// Decimal 1 to 65535 without leading zeros: the port is written unquoted into JSON files.
bool IsValidPort(const std::wstring& port)
{
    if (port.empty() || port.size() > 5 || port[0] == L'0') return false;
    long value = 0;
    for (wchar_t c : port) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    return value >= 1 && value <= 65535;
}

namespace {

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Windows drops a trailing dot or space from a name, opens a device name as the device, and these
// characters are no part of a name.
bool IsPlainComponent(std::wstring_view component)
{
    if (component.empty() || component.back() == L'.' || component.back() == L' ') return false;
    if (IsDeviceName(std::wstring(component))) return false;
    for (wchar_t c : component)
        if (c < 0x20 || std::wstring_view(L"<>:\"/|?*").find(c) != std::wstring_view::npos) return false;
    return true;
}

}  // namespace

// The folder is stored in the registry and in the agent's configuration, and npm must be able to
// run below it, so a relative, device, share or overlong path is refused before anything is written.
bool IsValidInstallPath(const std::wstring& path)
{
    if (path.size() < 4 || path.size() > 100 || !IsDriveLetter(path[0]) || path[1] != L':' || path[2] != L'\\')
        return false;
    for (const std::wstring_view component : SplitAt(std::wstring_view(path).substr(3), L"\\"))
        if (!IsPlainComponent(component)) return false;
    return true;
}
