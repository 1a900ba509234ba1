#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "InstallLog.h"
#include "Process.h"
#include "base/Files.h"
#include "base/Outcome.h"
#include "net/Http.h"

// Windows Installer's exit codes that runMsi's callers tell apart, for code that cannot include
// <windows.h>: the user said no to the administrator prompt (ERROR_INSTALL_USEREXIT), and success
// that takes effect after a restart (ERROR_SUCCESS_REBOOT_REQUIRED).
inline constexpr uint32_t kMsiUserDeclined = 1602;
inline constexpr uint32_t kMsiRebootRequired = 3010;

// One process on the machine: its id and the full path of its program file.
struct RunningProgram {
    uint32_t processId = 0;
    std::wstring image;
};

// Everything the installation asks of Windows. The Win32 build fills it with the real calls;
// tests fill it with fakes, so that the whole flow runs anywhere.
struct InstallPlatform {
    // GET url into the file at path, or the rest of it after a broken attempt, reporting progress;
    // stops when cancel is set. A declared size above 0 is the only size the file may end with.
    std::function<Outcome(const std::wstring& url, const std::filesystem::path& path, int64_t declaredBytes,
                          const DownloadProgressFn&, const std::atomic<bool>& cancel, PartialDownload& partial)>
        download;
    // The file's SHA-256 in lower-case hex.
    std::function<Outcome(const std::filesystem::path& path, std::string& hex)> sha256;
    // Runs one child process as the settings say.
    std::function<CommandResult(const CommandSettings&)> runCommand;
    // Installs a Windows Installer package silently; the installer's exit code, or nothing if it never started.
    std::function<std::optional<uint32_t>(const std::filesystem::path& package)> runMsi;
    // The program of that file name in the first absolute folder of this process's PATH.
    std::function<std::optional<std::filesystem::path>(const std::wstring& fileName)> findOnPath;
    // Windows' own program of that file name, in the system folder; nothing when that folder is unknown.
    std::function<std::optional<std::filesystem::path>(const std::wstring& fileName)> systemProgram;
    // Takes the machine's and the user's PATH into this process's environment.
    std::function<Outcome()> refreshPath;
    // A process environment variable, or nothing when it is not set.
    std::function<std::optional<std::wstring>(const std::wstring& name)> environmentVariable;
    // Writes a string value under HKEY_CURRENT_USER\subkey, creating the key when needed.
    std::function<Outcome(const wchar_t* subkey, const wchar_t* valueName, const std::wstring& text)>
        writeRegistryString;
    // A string value under HKEY_CURRENT_USER\subkey, or nothing when there is none.
    std::function<std::optional<std::wstring>(const wchar_t* subkey, const wchar_t* valueName)> readRegistryString;
    std::function<Outcome(const wchar_t* subkey, const wchar_t* valueName, uint32_t number)> writeRegistryNumber;
    // Removes one value, or a key with everything below it; what is not there counts as removed.
    std::function<Outcome(const wchar_t* subkey, const wchar_t* valueName)> deleteRegistryValue;
    std::function<Outcome(const wchar_t* subkey)> deleteRegistryKey;
    std::function<bool(const wchar_t* subkey)> registryKeyExists;
    // Writes the uninstaller that setup.exe carries to that file.
    std::function<FileResult(const std::filesystem::path& file)> writeUninstaller;
    // Copies a file, replacing one already at the destination.
    std::function<FileResult(const std::filesystem::path& from, const std::filesystem::path& to)> copyFile;
    // Gives a file or folder a new name, replacing a file of that name.
    std::function<FileResult(const std::filesystem::path& from, const std::filesystem::path& to)> movePath;
    // Removes a file, or a folder with everything inside; absent counts as removed.
    std::function<FileResult(const std::filesystem::path& path)> removeFile;
    std::function<FileResult(const std::filesystem::path& folder)> removeTree;
    // Removes a folder only when it is empty.
    std::function<FileResult(const std::filesystem::path& folder)> removeEmptyFolder;
    // Creates a folder and its missing parents.
    std::function<FileResult(const std::filesystem::path& folder)> createFolders;
    // Bytes free for this user on the drive that holds folder (or its nearest existing parent).
    std::function<std::optional<uint64_t>(const std::filesystem::path& folder)> freeSpace;
    // Every other process whose program file could be read.
    std::function<std::vector<RunningProgram>()> runningPrograms;
    // Saves a shell link; nothing when no link object could be made, else how the save went.
    std::function<std::optional<Outcome>(const std::filesystem::path& link, const std::wstring& target,
                                         const std::wstring& directory, const std::wstring& description)>
        createShortcut;
    // The "enc:" text of a key, sealed for this machine.
    std::function<Outcome(const std::string& plaintext, std::string& sealed)> encryptCredential;
    std::function<uint32_t()> tickCount;  // milliseconds, wrapping
    std::function<LocalTime()> localTime;  // for the log file's time stamps
    std::function<void(unsigned milliseconds)> sleep;  // the pause between download attempts
};

// Windows only: the platform made of the real calls.
InstallPlatform Win32InstallPlatform();
