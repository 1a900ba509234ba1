#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "BuildConfig.h"
#include "Startup.h"
#include "StoredSettings.h"
#include "Wizard_win32.h"
#include "base/KnownFolders.h"
#include "manifest/Manifest.h"
#include "net/Http.h"
#include "vault/Prefill_win32.h"

namespace {

void InitCommonControlClasses()
{
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&classes);
}

bool FetchManifest(ReleaseManifest& manifest)
{
    return HttpGetToMemory(manifest.baseUrl + L"manifest.json", manifest.manifestText) && ParseManifestInto(manifest);
}

void ShowManifestFailure()
{
    const std::wstring text = ManifestFailureText(kUpdateBaseUrl);
    MessageBoxW(nullptr, text.c_str(), L"Quillmere Setup", MB_OK | MB_ICONERROR);
}

// RtlGetVersion reports the version as it is; GetVersionExW reports what the manifest's
// compatibility section lets it.
bool RefuseOlderWindows()
{
    using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = ntdll ? reinterpret_cast<GetVersionFn>(
                                        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                                  : nullptr;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!getVersion || getVersion(&version) != 0 || IsSupportedWindowsVersion(version.dwMajorVersion)) return false;
    const std::wstring text = UnsupportedWindowsText(version.dwMajorVersion, version.dwMinorVersion);
    MessageBoxW(nullptr, text.c_str(), L"Quillmere Setup", MB_OK | MB_ICONERROR);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    if (RefuseOlderWindows()) return 1;
    // One installer per session: a second one hands over to the first and leaves. The lock is owned
    // until the process ends, so that a second one waiting on it learns when the first has gone.
    const ScopedHandle instanceLock(CreateMutexW(nullptr, TRUE, L"Local\\QuillmereSetup.Running"));
    if (instanceLock && GetLastError() == ERROR_ALREADY_EXISTS && HandOverToRunningInstaller(instanceLock.get()))
        return 0;
    InitCommonControlClasses();
    // Large (the job and the manifest travel in it) and alive until the window is gone.
    const auto wizard = std::make_unique<Wizard>();
    wizard->instance = instance;
    wizard->settings = LoadSettingsFromRegistry();
    PrefillDashscopeKey(FindKnownFolders().profile, wizard->settings.dashscopeKey);
    wizard->manifest = DefaultReleaseManifest();
    int result = 1;
    if (FetchManifest(wizard->manifest))
        result = RunWizard(*wizard, showCommand);
    else
        ShowManifestFailure();
    // A worker that outlived its window (closed past the deadline) still uses the wizard's job: the
    // process ends here, before that memory goes.
    if (WorkerRunning(*wizard)) ExitProcess(static_cast<UINT>(result));
    return result;
}
