#include "Vault.h"

#include "shell/Settings.h"

// Reads the optional multimodal key back from the agent's credential store when the
// registry had none. The store's reader arrives with the credential cipher.
void PrefillDashscopeKey()
{
    if (!Settings.dashscopeKey.empty()) return;
}
