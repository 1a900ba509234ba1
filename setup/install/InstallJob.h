#pragma once
#include <atomic>
#include <filesystem>
#include <string>

#include "base/InstallEvents.h"
#include "base/KnownFolders.h"
#include "manifest/Manifest.h"

// The user's choices, as the wizard's configuration page holds them.
struct InstallerSettings {
    std::wstring installPath;
    std::wstring apiKey;
    std::wstring model = L"qwen3.5-plus";
    std::wstring port = L"18789";
    int apiProvider = 0;
    std::wstring dashscopeKey;
};

// Where the choices of the last installation are kept, under HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsRegistryKey[] = L"Software\\Quillmere";

// One installation as the wizard hands it to the worker. Everything but the cancel flag is
// written before the worker starts and only read by it afterwards.
struct InstallJob {
    InstallerSettings choices;
    ReleaseManifest manifest;   // a snapshot with the skills' selections; the worker marks what is present
    KnownFolders folders;
    std::atomic<bool> cancelRequested{false};  // set by the window, polled by the worker
    // How the run ended, stored by the worker before its done event: the window reads them when the
    // thread has gone without a done message reaching it.
    std::atomic<const wchar_t*> finalStatus{nullptr};
    std::atomic<InstallEnd> end{InstallEnd::Failed};
};
