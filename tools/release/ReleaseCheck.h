#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "ReleaseDescription.h"
#include "manifest/Manifest.h"

// A release folder as the installer would meet it, and what is wrong with it, one line each.
struct CheckedRelease {
    ReleaseManifest scanned;  // as the installer's scanner read the manifest; baseUrl empty when it gives none
    std::vector<std::string> problems;
};

// What is wrong with a base URL: not https (plain http only for 127.0.0.1, localhost and [::1]),
// or not ending with "/" (the installer appends file names to it).
std::vector<std::string> BaseUrlProblems(const std::string& baseUrl);

// Reads manifestText with the installer's scanner and checks it against the files in folder: sizes,
// hashes, names the installer refuses, duplicate ids, archives that do not extract completely, the
// base URL, and fields a JSON parser reads otherwise. declared holds release.txt's entries: those
// marked absent may lack their file.
CheckedRelease CheckRelease(const std::filesystem::path& folder, const std::string& manifestText,
                            const std::vector<DescribedEntry>& declared);
