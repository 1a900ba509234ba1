#pragma once

bool InstallProductPackages();
bool InstallSkillPackages();
