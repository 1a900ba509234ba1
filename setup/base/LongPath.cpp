#include "LongPath.h"

#include <vector>

#include "Split.h"

namespace {

constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveAbsolute(const std::wstring& path)
{
    const wchar_t drive = path.size() >= 3 ? path[0] : 0;
    return ((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z')) && path[1] == L':' && IsSlash(path[2]);
}

bool IsUnc(const std::wstring& path)
{
    return path.size() >= 3 && IsSlash(path[0]) && IsSlash(path[1]) && !IsSlash(path[2]) && path[2] != L'?' && path[2] != L'.';
}

// The parts after the root, with "." dropped and ".." taking back the part before it; Windows does
// the same to a normal path, but not to one in the extended form.
std::vector<std::wstring> NormalParts(const std::wstring& rest, size_t keep)
{
    std::vector<std::wstring> parts;
    for (const std::wstring_view piece : SplitAt(rest, L"\\/")) {
        const std::wstring part(piece);
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            if (parts.size() > keep) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

std::wstring Joined(std::wstring root, const std::vector<std::wstring>& parts)
{
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) root += L'\\';
        root += parts[i];
    }
    return root;
}

}  // namespace

std::wstring ExtendedLengthPath(const std::wstring& path)
{
    if (path.size() < kLongPathFrom || path.rfind(kExtendedPrefix, 0) == 0) return path;
    if (IsDriveAbsolute(path))
        return Joined(std::wstring(kExtendedPrefix) + path.substr(0, 2) + L'\\', NormalParts(path.substr(3), 0));
    // The server and the share are the root of a network path: ".." never climbs above them.
    if (IsUnc(path)) return Joined(std::wstring(kExtendedPrefix) + L"UNC\\", NormalParts(path.substr(2), 2));
    return path;
}
