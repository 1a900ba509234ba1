#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One component of the product, downloaded from baseUrl + file.
struct ManifestPackage { std::string id, file, desc; int64_t size = 0; bool extract = false; bool alreadyPresent = false; };

// One optional skill offered on the skills page.
struct ManifestSkill { std::string id, file, name, desc; int64_t size = 0; bool required = false; bool selected = true; };

// The fetched manifest text and what was scanned out of it; text fields are UTF-8 bytes.
struct ReleaseManifest { std::string manifestText; std::wstring baseUrl; std::vector<ManifestPackage> packages; std::vector<ManifestSkill> skills; };

extern ReleaseManifest Manifest;

bool ParseManifest();
bool ParseManifestInto(ReleaseManifest& manifest);

std::string GetJsonString(const std::string& text, const std::string& key);
int64_t GetJsonInt64(const std::string& text, const std::string& key);
bool GetJsonBool(const std::string& text, const std::string& key);

size_t FindMatchingBracket(const std::string& text, size_t open, char openChar, char closeChar);
