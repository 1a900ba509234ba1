// Reads the desktop shortcut back the way the shell does, through IShellLinkW, and prints what
// it holds as UTF-8 lines: "desktop PATH", then "target", "directory" and "description"
// (nothing more when the shortcut cannot be loaded).
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>

namespace {

void PrintLine(const char* key, const wchar_t* value)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, -1, text.data(), n, nullptr, nullptr);
    std::printf("%s %s\n", key, text.c_str());
}

bool PrintShortcut(const std::wstring& path)
{
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* file = nullptr;
    bool loaded = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                  SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    if (loaded) {
        wchar_t text[MAX_PATH * 2] = {};
        link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
        PrintLine("target", text);
        text[0] = L'\0';
        link->GetWorkingDirectory(text, MAX_PATH * 2);
        PrintLine("directory", text);
        text[0] = L'\0';
        link->GetDescription(text, MAX_PATH * 2);
        PrintLine("description", text);
    }
    if (file) file->Release();
    link->Release();
    return loaded;
}

}  // namespace

int wmain()
{
    wchar_t desktop[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop))) return 2;
    PrintLine("desktop", desktop);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool loaded = PrintShortcut(std::wstring(desktop) + L"\\Quillmere Gateway.lnk");
    CoUninitialize();
    return loaded ? 0 : 1;
}
