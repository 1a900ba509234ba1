#include <windows.h>
#include <commctrl.h>

#include "BuildConfig.h"
#include "Settings.h"
#include "Startup.h"
#include "Ui_win32.h"
#include "Wizard_win32.h"
#include "manifest/Manifest.h"
#include "net/Http.h"
#include "vault/Vault.h"

HINSTANCE AppInstance = nullptr;
HFONT NormalFont = nullptr;
HFONT BoldFont = nullptr;
HFONT TitleFont = nullptr;

namespace {

// The full structure, padded-border width included, is what the size field announces.
static_assert(sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICSW must include iPaddedBorderWidth");

void InitCommonControlClasses()
{
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&classes);
}

// All three fonts come from one copy of the system's message font.
void CreateFonts()
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    LOGFONTW font = metrics.lfMessageFont;
    NormalFont = CreateFontIndirectW(&font);
    font.lfWeight = FW_BOLD;
    BoldFont = CreateFontIndirectW(&font);
    font.lfHeight = -18;
    TitleFont = CreateFontIndirectW(&font);
}

void ReleaseFonts()
{
    for (HFONT font : {NormalFont, BoldFont, TitleFont})
        if (font) DeleteObject(font);
}

bool FetchManifest()
{
    Manifest.manifestText = HttpGetToMemory(Manifest.baseUrl + L"manifest.json");
    return !Manifest.manifestText.empty() && ParseManifest();
}

void ShowManifestFailure()
{
    const std::wstring text = ManifestFailureText(kUpdateBaseUrl);
    MessageBoxW(nullptr, text.c_str(), L"Quillmere Setup", MB_OK | MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    AppInstance = instance;
    InitCommonControlClasses();
    CreateFonts();
    LoadSettingsFromRegistry();
    PrefillDashscopeKey();
    if (!FetchManifest()) {
        ShowManifestFailure();
        ReleaseFonts();
        return 1;
    }
    const int result = RunWizard(showCommand);
    ReleaseFonts();
    return result;
}
