#pragma once

void PrefillDashscopeKey();
