#pragma once
#include <string>
#include <vector>

#include "manifest/Manifest.h"

// Where a JSON parser reads manifestText otherwise than the installer's scanner read it into scanned:
// one line per field the installer uses (baseUrl; id, file, desc, size, sha256, extract, name,
// required) whose values differ, per entry count that differs, per entry a JSON parser sees without
// an id, or one line when the text is not JSON at all.
std::vector<std::string> ScannerDisagreements(const std::string& manifestText, const ReleaseManifest& scanned);
