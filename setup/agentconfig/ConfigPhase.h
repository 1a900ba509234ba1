#pragma once

void RunConfigurationPhase();
