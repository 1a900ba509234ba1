#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Output bytes not yet ended by a line feed.
struct LineSplitter {
    std::string pending;
};

// The text one read contributes: up to its first NUL byte.
std::string TextOfRead(const char* bytes, size_t count);
// The lines the new bytes complete, without their line ends; empty lines are dropped.
std::vector<std::string> TakeCompleteLines(LineSplitter& splitter, const char* bytes, size_t count);
