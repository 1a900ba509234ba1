#pragma once
#include <string>
#include <vector>

#include "manifest/Manifest.h"

// manifest.json laid out as json.dumps(indent=2, ensure_ascii=False) lays it out, with the installer's
// field names; no baseUrl key when baseUrl is empty. Every text must pass IsPlainJsonText: nothing is
// escaped, because the installer's scanner would not unescape it.
std::string ManifestJson(const std::string& baseUrl, const std::vector<ManifestPackage>& packages,
                         const std::vector<ManifestSkill>& skills);
