#pragma once
#include <string_view>
#include <vector>

// The pieces between any of the separators, empty ones included: "a;;b" gives "a", "", "b", and an
// empty text one empty piece. They point into text, which must outlive them.
std::vector<std::string_view> SplitAt(std::string_view text, std::string_view separators);
std::vector<std::wstring_view> SplitAt(std::wstring_view text, std::wstring_view separators);
