#include "Platform.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "InstallPlan.h"
#include "resources/UninstallerResource.h"
#include "base/LongPath.h"
#include "base/Scoped_win32.h"
#include "base/SystemError.h"
#include "base/Text.h"
#include "net/FileHash.h"
#include "vault/Cipher_win32.h"

namespace fs = std::filesystem;

namespace {

static_assert(kMsiUserDeclined == ERROR_INSTALL_USEREXIT);
static_assert(kMsiRebootRequired == ERROR_SUCCESS_REBOOT_REQUIRED);
constexpr DWORD kMachinePathBytes = 16384;
constexpr DWORD kUserPathBytes = 8192;
constexpr wchar_t kMachineEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

Outcome Download(const std::wstring& url, const fs::path& path, int64_t declaredBytes, const DownloadProgressFn& progress,
                 const std::atomic<bool>& cancel, PartialDownload& partial)
{
    return DownloadToFile(url, path.wstring(), progress, cancel, partial, declaredBytes);
}

// Never a program of that name beside setup.exe or in the current folder, which CreateProcessW
// would look in first for a bare name.
std::optional<fs::path> SystemProgram(const std::wstring& fileName)
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return fs::path(folder) / fileName;
}

// Through the shared runner, shown, as Windows Installer's progress is the user's only sign of it.
// The installer runs with the user's rights: a per-machine package asks for elevation itself.
std::optional<uint32_t> RunMsi(const fs::path& package)
{
    const std::optional<fs::path> msiexec = SystemProgram(L"msiexec.exe");
    if (!msiexec) return std::nullopt;
    const std::wstring arguments = L"/i \"" + package.wstring() + L"\" /qb /norestart";
    const CommandResult result = RunCommand({.commandLine = CommandLineOf(*msiexec, arguments), .showWindow = true});
    if (!result.started) return std::nullopt;
    return result.exitCode.value_or(0);
}

// A stored value may lack its terminator or not fit at all; only what was really read counts.
std::optional<std::wstring> QueryPathValue(HKEY key, DWORD bufferBytes)
{
    std::wstring buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = bufferBytes;
    if (RegQueryValueExW(key, L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    buffer.resize(wcsnlen(buffer.c_str(), size / sizeof(wchar_t)));
    return buffer;
}

std::optional<std::wstring> ReadPathValue(HKEY root, const wchar_t* subkey, DWORD bufferBytes)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, subkey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
    const ScopedRegistryKey key(opened);
    return QueryPathValue(key.get(), bufferBytes);
}

// The values are stored with %SystemRoot% and the like; Windows expands them when it builds a
// new process's environment, and so must we, or later child processes find no system programs.
std::wstring ExpandReferences(const std::wstring& text)
{
    if (text.empty()) return text;
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::wstring expanded(needed, L'\0');
    ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
    expanded.resize(wcsnlen(expanded.c_str(), needed));
    return expanded;
}

// Without the machine's part the old PATH is kept, as the new one would lack the system folders.
Outcome RefreshProcessPath()
{
    const std::optional<std::wstring> machinePath =
        ReadPathValue(HKEY_LOCAL_MACHINE, kMachineEnvironmentKey, kMachinePathBytes);
    if (!machinePath) return Success();
    const std::wstring userPath = ReadPathValue(HKEY_CURRENT_USER, L"Environment", kUserPathBytes).value_or(L"");
    const std::wstring joined = JoinPathValues(ExpandReferences(*machinePath), ExpandReferences(userPath));
    if (!SetEnvironmentVariableW(L"PATH", joined.c_str())) return Failure(SystemErrorText(GetLastError()));
    return Success();
}

// Never the current folder: a freshly unpacked archive could plant its own program there.
std::optional<fs::path> FindProgramOnPath(const std::wstring& fileName)
{
    std::wstring path(32767, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size())));
    return FindOnPath(path, fileName, [](const fs::path& candidate) {
        const DWORD attributes = GetFileAttributesW(candidate.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    });
}

// Unset and empty variables alike are nothing.
std::optional<std::wstring> EnvironmentVariable(const std::wstring& name)
{
    wchar_t value[MAX_PATH] = {};
    if (GetEnvironmentVariableW(name.c_str(), value, MAX_PATH) == 0) return std::nullopt;
    return std::wstring(value);
}

Outcome WriteRegistryString(const wchar_t* subkey, const wchar_t* valueName, const std::wstring& text)
{
    HKEY opened = nullptr;
    const LSTATUS created =
        RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr);
    if (created != ERROR_SUCCESS) return Failure(SystemErrorText(static_cast<uint32_t>(created)));
    const ScopedRegistryKey key(opened);
    const LSTATUS set = RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    return set == ERROR_SUCCESS ? Success() : Failure(SystemErrorText(static_cast<uint32_t>(set)));
}

// Wine and Windows may hand back a value without its terminator; only what was read counts.
std::optional<std::wstring> ReadRegistryString(const wchar_t* subkey, const wchar_t* valueName)
{
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subkey, valueName, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, subkey, valueName, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(wcsnlen(text.c_str(), size / sizeof(wchar_t)));
    return text;
}

Outcome WriteRegistryNumber(const wchar_t* subkey, const wchar_t* valueName, uint32_t number)
{
    HKEY opened = nullptr;
    const LSTATUS created =
        RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr);
    if (created != ERROR_SUCCESS) return Failure(SystemErrorText(static_cast<uint32_t>(created)));
    const ScopedRegistryKey key(opened);
    const DWORD value = number;
    const LSTATUS set = RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    return set == ERROR_SUCCESS ? Success() : Failure(SystemErrorText(static_cast<uint32_t>(set)));
}

bool IsAbsent(LSTATUS status)
{
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

Outcome DeleteRegistryValue(const wchar_t* subkey, const wchar_t* valueName)
{
    const LSTATUS deleted = RegDeleteKeyValueW(HKEY_CURRENT_USER, subkey, valueName);
    return deleted == ERROR_SUCCESS || IsAbsent(deleted) ? Success() : Failure(SystemErrorText(static_cast<uint32_t>(deleted)));
}

Outcome DeleteRegistryKey(const wchar_t* subkey)
{
    const LSTATUS deleted = RegDeleteTreeW(HKEY_CURRENT_USER, subkey);
    if (deleted != ERROR_SUCCESS && !IsAbsent(deleted)) return Failure(SystemErrorText(static_cast<uint32_t>(deleted)));
    // RegDeleteTreeW empties the key; the key itself goes with RegDeleteKeyW.
    const LSTATUS removed = RegDeleteKeyW(HKEY_CURRENT_USER, subkey);
    return removed == ERROR_SUCCESS || IsAbsent(removed) ? Success() : Failure(SystemErrorText(static_cast<uint32_t>(removed)));
}

bool RegistryKeyExists(const wchar_t* subkey)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

// The uninstaller travels inside setup.exe as a resource and is written out like any file of ours.
FileResult WriteUninstaller(const fs::path& file)
{
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(QUILLMERE_UNINSTALLER_RESOURCE), MAKEINTRESOURCEW(10));
    const HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return {ERROR_RESOURCE_DATA_NOT_FOUND, SystemErrorText(ERROR_RESOURCE_DATA_NOT_FOUND), false};
    return ReplaceFileBytes(file, static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

// A folder about to be made has no free space of its own; the drive is asked through its nearest parent.
std::optional<uint64_t> FreeSpace(const fs::path& folder)
{
    fs::path existing = folder;
    while (!IsFolder(existing) && existing.has_relative_path()) existing = existing.parent_path();
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(ExtendedLengthPath((existing / L"").wstring()).c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return available.QuadPart;
}

// A process of another user or a protected one cannot be opened; it cannot run our programs either.
std::optional<std::wstring> ImageOfProcess(DWORD processId)
{
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return std::nullopt;
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) return std::nullopt;
    image.resize(length);
    return image;
}

// Setup itself may have been started from the installation folder; it is never in the list.
std::vector<RunningProgram> RunningPrograms()
{
    std::vector<RunningProgram> programs;
    const ScopedHandle snapshot = OwnFile(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return programs;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || entry.th32ProcessID == 0) continue;
        if (std::optional<std::wstring> image = ImageOfProcess(entry.th32ProcessID))
            programs.push_back({entry.th32ProcessID, std::move(*image)});
    }
    return programs;
}

std::optional<Outcome> CreateShortcut(const fs::path& linkPath, const std::wstring& target,
                                      const std::wstring& directory, const std::wstring& description)
{
    const ComApartment apartment;
    IShellLinkW* created = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&created))))
        return std::nullopt;
    const ScopedCom<IShellLinkW> link(created);
    for (const HRESULT set : {link->SetPath(target.c_str()), link->SetWorkingDirectory(directory.c_str()),
                              link->SetDescription(description.c_str())})
        if (FAILED(set)) return Failure(SystemErrorText(static_cast<uint32_t>(set)));
    IPersistFile* persist = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) return std::nullopt;
    const ScopedCom<IPersistFile> file(persist);
    const HRESULT saved = file->Save(linkPath.c_str(), TRUE);
    return SUCCEEDED(saved) ? Success() : Failure(SystemErrorText(static_cast<uint32_t>(saved)));
}

uint32_t TickCount()
{
    return GetTickCount();
}

LocalTime Now()
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void Pause(unsigned milliseconds)
{
    Sleep(milliseconds);
}

}  // namespace

InstallPlatform Win32InstallPlatform()
{
    InstallPlatform platform;
    platform.download = Download;
    platform.sha256 = FileSha256;
    platform.runCommand = RunCommand;
    platform.runMsi = RunMsi;
    platform.findOnPath = FindProgramOnPath;
    platform.systemProgram = SystemProgram;
    platform.refreshPath = RefreshProcessPath;
    platform.environmentVariable = EnvironmentVariable;
    platform.writeRegistryString = WriteRegistryString;
    platform.readRegistryString = ReadRegistryString;
    platform.writeRegistryNumber = WriteRegistryNumber;
    platform.deleteRegistryValue = DeleteRegistryValue;
    platform.deleteRegistryKey = DeleteRegistryKey;
    platform.registryKeyExists = RegistryKeyExists;
    platform.writeUninstaller = WriteUninstaller;
    platform.copyFile = CopyFileOver;
    platform.movePath = MovePath;
    platform.removeFile = RemoveFile;
    platform.removeTree = RemoveTree;
    platform.removeEmptyFolder = RemoveEmptyFolder;
    platform.createFolders = CreateFolders;
    platform.runningPrograms = RunningPrograms;
    platform.freeSpace = FreeSpace;
    platform.createShortcut = CreateShortcut;
    platform.encryptCredential = EncryptCredential;
    platform.tickCount = TickCount;
    platform.localTime = Now;
    platform.sleep = Pause;
    return platform;
}
