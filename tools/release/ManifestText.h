#pragma once
#include <string>
#include <vector>

#include "manifest/Manifest.h"

// manifest.json laid out as json.dumps(indent=2, ensure_ascii=False) lays it out, with the installer's
// field names; no baseUrl key when baseUrl is empty. Texts are escaped where JSON needs it, and only there;
// each must pass IsWritableText for the installer to read it back as it was.
// A version, when given, comes first.
std::string ManifestJson(const std::string& version, const std::string& baseUrl,
                         const std::vector<ManifestPackage>& packages, const std::vector<ManifestSkill>& skills);
