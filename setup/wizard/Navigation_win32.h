#pragma once
#include <windows.h>

#include "Wizard_win32.h"

// The pages' logic: what the window does when the user or the worker acts.
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
