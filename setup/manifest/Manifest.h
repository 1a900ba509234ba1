#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One component of the product, downloaded from baseUrl + file.
struct ManifestPackage { std::string id, file, desc; int64_t size = 0; bool extract = false; bool alreadyPresent = false; std::string sha256 = {}; };

// One optional skill offered on the skills page.
struct ManifestSkill { std::string id, file, name, desc; int64_t size = 0; bool required = false; bool selected = true; std::string sha256 = {}; };

// The fetched manifest text and what was scanned out of it; text fields are UTF-8 bytes.
// version: the release's own top-level "version", empty when it gives none.
// refusedBaseUrl: a baseUrl the manifest gave that was not taken (not https), for the log.
struct ReleaseManifest { std::string manifestText; std::wstring baseUrl; std::vector<ManifestPackage> packages; std::vector<ManifestSkill> skills; std::wstring refusedBaseUrl = {}; std::string version = {}; };

// A manifest with no text yet, pointing at the compiled-in update server.
ReleaseManifest DefaultReleaseManifest();
// Scans manifestText into baseUrl, packages and skills; true when at least one package was found.
bool ParseManifestInto(ReleaseManifest& manifest);
// Whether a manifest's sha256 value is one: 64 hex digits, either case.
bool IsSha256Text(const std::string& text);

// For the tests only: the pieces the scanner is made of.
namespace detail {
// Whether the manifest may send the downloads to url: https, or plain http only where the built-in
// update server is itself plain http on this machine (a test build).
bool IsAcceptedBaseUrl(const std::wstring& url, const std::wstring& builtIn);
// The string that follows the first "key":, its JSON escapes decoded to UTF-8; empty when there is none
// or an escape is invalid.
std::string GetJsonString(const std::string& text, const std::string& key);
// The integer after the first "key":, or 0 when there is none or it overflows.
int64_t GetJsonInt64(const std::string& text, const std::string& key);
// Whether the first "key": is followed by true.
bool GetJsonBool(const std::string& text, const std::string& key);
// The position of the bracket that closes the one at open, skipping strings; npos when none does.
size_t FindMatchingBracket(const std::string& text, size_t open, char openChar, char closeChar);
}  // namespace detail
