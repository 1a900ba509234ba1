#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The file in a release folder that says what its manifest lists.
inline constexpr const char* kDescriptionFileName = "release.txt";

enum class EntryKind { Package, Skill };

// One line of release.txt: a package or a skill as the manifest will list it.
struct DescribedEntry {
    EntryKind kind = EntryKind::Package;
    std::string id, file, name, desc;  // name: skills only
    bool extract = false;              // packages only
    bool required = false;             // skills only
    bool absent = false;               // the server lacks the file on purpose; size and sha256 are given
    int64_t size = 0;                  // given only with absent
    std::string sha256;                // given only with absent
    int line = 0;
};

// The entries in the order given, and one message per line that could not be read.
struct ReleaseDescription {
    std::string version;  // from the one "version TEXT" line; empty without one
    std::vector<DescribedEntry> entries;
    std::vector<std::string> errors;
};

ReleaseDescription ParseReleaseDescription(const std::string& text);

// Whether text written into a manifest string is read back by the installer as it was: valid UTF-8
// without U+0000, which the installer refuses since Windows would end the text there.
bool IsWritableText(const std::string& text);

// "skills/web-search.zip (skill web-search)": how problem lines name an entry.
std::string EntryLabel(EntryKind kind, const std::string& id, const std::string& file);
