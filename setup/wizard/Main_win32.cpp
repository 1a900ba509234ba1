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
#include "vault/Vault.h"

namespace {

// The full structure, padded-border width included, is what the size field announces.
static_assert(sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICSW must include iPaddedBorderWidth");

void InitCommonControlClasses()
{
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&classes);
}

// All three fonts come from one copy of the system's message font.
WizardFonts CreateFonts()
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    LOGFONTW font = metrics.lfMessageFont;
    WizardFonts fonts;
    fonts.normal = CreateFontIndirectW(&font);
    font.lfWeight = FW_BOLD;
    fonts.bold = CreateFontIndirectW(&font);
    font.lfHeight = -18;
    fonts.title = CreateFontIndirectW(&font);
    return fonts;
}

void ReleaseFonts(const WizardFonts& fonts)
{
    for (HFONT font : {fonts.normal, fonts.bold, fonts.title})
        if (font) DeleteObject(font);
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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // One installer per session: a second one hands over to the first and leaves. The handle is
    // held until the process ends.
    const ScopedHandle instanceLock(CreateMutexW(nullptr, FALSE, L"Local\\QuillmereSetup.Running"));
    if (instanceLock && GetLastError() == ERROR_ALREADY_EXISTS) {
        BringRunningWizardToFront();
        return 0;
    }
    InitCommonControlClasses();
    // Large (the job and the manifest travel in it) and alive until the window is gone.
    const auto wizard = std::make_unique<Wizard>();
    wizard->instance = instance;
    wizard->fonts = CreateFonts();
    wizard->settings = LoadSettingsFromRegistry();
    PrefillDashscopeKey(FindKnownFolders().profile, wizard->settings.dashscopeKey);
    wizard->manifest = DefaultReleaseManifest();
    int result = 1;
    if (FetchManifest(wizard->manifest))
        result = RunWizard(*wizard, showCommand);
    else
        ShowManifestFailure();
    ReleaseFonts(wizard->fonts);
    // A worker that outlived its window (closed past the deadline) still uses the wizard's job: the
    // process ends here, before that memory goes.
    if (WorkerRunning(*wizard)) ExitProcess(static_cast<UINT>(result));
    return result;
}
