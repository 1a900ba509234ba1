#pragma once
#include <string>
#include <utility>
#include <vector>

// A stored (uncompressed) ZIP archive of (name, bytes) pairs with true CRCs and UTF-8 names, as a
// release would ship it.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files);
