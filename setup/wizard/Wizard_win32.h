#pragma once
#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "base/Scoped_win32.h"
#include "install/InstallJob.h"
#include "manifest/Manifest.h"

// The three fonts of the wizard, made for the window's DPI and made again when it changes.
struct WizardFonts {
    HFONT normal = nullptr;
    HFONT bold = nullptr;
    HFONT title = nullptr;
};

enum class FontRole { None, Normal, Bold, Title };

// One control as the page builders placed it: its rectangle in 96-DPI units of its parent's client
// area, from which every DPI's position is worked out again.
struct PlacedControl {
    HWND control;
    RECT rect;
    FontRole font;
};

// The wizard's look, shared with the uninstaller: 96-DPI units scaled to a window's DPI, and its fonts.
int Scale(int value, int dpi);
RECT ScaleRect(const RECT& rect, int dpi);
int WindowDpi(HWND window);
WizardFonts CreateWizardFonts(int dpi);
void ReleaseWizardFonts(WizardFonts& fonts);
HFONT FontFor(const WizardFonts& fonts, FontRole role);

enum WizardPage { kDisclaimerPage, kConfigPage, kSkillsPage, kProgressPage, kPageCount };

// The wizard's state: owned by the entry point, reached by the window through its user data,
// and touched by the window's thread alone. The worker is given only the job.
struct Wizard {
    HINSTANCE instance = nullptr;
    WizardFonts fonts;
    int dpi = 96;
    std::vector<PlacedControl> layout;
    HWND focus = nullptr;  // the control to give the focus back to when the window is activated again
    InstallerSettings settings;  // the configuration page's fields, once it is left
    ReleaseManifest manifest;    // with the skills page's ticks, once it is left
    HWND window = nullptr;
    HWND pages[kPageCount] = {};
    int currentPage = kDisclaimerPage;
    InstallJob job;
    ScopedHandle worker;          // the installation's thread, once started
    bool workerReported = false;  // its done message has arrived
    bool closeWhenWorkerEnds = false;
    DWORD closeRequestedAt = 0;  // tick of the first close while the worker ran
};

// Creates the window and runs the message loop until the window is gone: its exit code, or 1 after
// an error box when no window could be made.
int RunWizard(Wizard& wizard, int showCommand);
// With another installer holding the lock: raises its wizard once it shows one and says true; false
// when that installer ended without a window, leaving the lock to this one.
bool HandOverToRunningInstaller(HANDLE instanceLock);
// Shows one page, hides the others and puts the focus on the page's first input.
void ShowPage(Wizard& wizard, int page);
// Whether an installation is under way: started, not yet reported done and its thread alive.
bool WorkerRunning(const Wizard& wizard);
// The forward, cancel, browse and selection buttons.
LRESULT HandleWizardCommand(Wizard& wizard, int controlId);
// The console link.
LRESULT HandleWizardNotify(const NMHDR* header);
// The worker's done message: the buttons, then the question to start the product after success.
void HandleInstallDone(Wizard& wizard, bool succeeded);
// The title bar's close box.
void HandleCloseRequest(Wizard& wizard);
// The timers: the one that closes the window once a cancelled worker has ended, and the one that
// watches the worker's thread for an end whose done message never came.
void HandleWizardTimer(Wizard& wizard, UINT_PTR timer);
