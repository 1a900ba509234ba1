#include "LineSplitter.h"

#include <algorithm>

// Each read is handled as NUL-terminated text, so a 0 byte ends what that read contributes.
std::string TextOfRead(const char* bytes, size_t count)
{
    return std::string(bytes, std::find(bytes, bytes + count, '\0'));
}

// Bytes stay pending until their line feed arrives, so a line or a UTF-8 character split
// across reads is only ever handed out whole.
std::vector<std::string> TakeCompleteLines(LineSplitter& splitter, const char* bytes, size_t count)
{
    splitter.pending += TextOfRead(bytes, count);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t feed = splitter.pending.find('\n'); feed != std::string::npos;
         feed = splitter.pending.find('\n', start)) {
        size_t end = feed;
        if (end > start && splitter.pending[end - 1] == '\r') --end;
        if (end > start) lines.push_back(splitter.pending.substr(start, end - start));
        start = feed + 1;
    }
    splitter.pending.erase(0, start);
    return lines;
}
