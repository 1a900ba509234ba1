#include "Split.h"

namespace {

template <typename Char>
std::vector<std::basic_string_view<Char>> Pieces(std::basic_string_view<Char> text,
                                                 std::basic_string_view<Char> separators)
{
    std::vector<std::basic_string_view<Char>> pieces;
    for (size_t start = 0;;) {
        const size_t end = text.find_first_of(separators, start);
        pieces.push_back(text.substr(start, end == text.npos ? text.npos : end - start));
        if (end == text.npos) return pieces;
        start = end + 1;
    }
}

}  // namespace

std::vector<std::string_view> SplitAt(std::string_view text, std::string_view separators)
{
    return Pieces(text, separators);
}

std::vector<std::wstring_view> SplitAt(std::wstring_view text, std::wstring_view separators)
{
    return Pieces(text, separators);
}
