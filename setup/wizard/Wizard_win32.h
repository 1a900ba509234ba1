#pragma once
#include <windows.h>
#include <commctrl.h>

#include "Controls_win32.h"
#include "base/Scoped_win32.h"
#include "install/InstallJob.h"
#include "manifest/Manifest.h"

enum WizardPage { kDisclaimerPage, kConfigPage, kSkillsPage, kProgressPage, kPageCount };

// The wizard's state: owned by the entry point, reached by the window through its user data,
// and touched by the window's thread alone. The worker is given only the job.
struct Wizard {
    HINSTANCE instance = nullptr;
    ControlLayout controls;
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
