#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/LineSplitter.h"

namespace {

using Lines = std::vector<std::string>;

struct Relayed {
    Lines lines;
    std::string tail;
};

// Feeds each string as one read, as the runner does with each ReadFile result.
Relayed Feed(const std::vector<std::string>& reads)
{
    LineSplitter splitter;
    Relayed relayed;
    for (const std::string& read : reads) {
        const Lines lines = TakeCompleteLines(splitter, read.data(), read.size());
        relayed.lines.insert(relayed.lines.end(), lines.begin(), lines.end());
    }
    relayed.tail = splitter.pending;
    return relayed;
}

TEST(LineSplitter, SplitsReadsIntoLinesAndKeepsTheTail)
{
    using namespace std::string_literals;
    struct Row {
        std::vector<std::string> reads;
        Lines lines;
        std::string tail;
        const char* why;
    } rows[] = {
        {{"first\r\n\r\nlast"}, {"first"}, "last", "CR LF ends a line, an empty line is skipped, the tail waits"},
        {{"a\nb\n"}, {"a", "b"}, "", "bare LF ends a line too"},
        {{"\n\n\r\n"}, {}, "", "empty lines and lone CR LF give nothing"},
        {{"a\r\r\n"}, {"a\r"}, "", "only one CR before the LF is dropped"},
        {{"\r\r\n"}, {"\r"}, "", "a line that is a CR after the drop is not empty"},
        {{"a\rb\n"}, {"a\rb"}, "", "a CR inside a line stays"},
        {{"tail\r"}, {}, "tail\r", "no CR is dropped from the tail"},
        {{"hel", "lo wor", "ld\n"}, {"hello world"}, "", "a line split across reads is handed out once, whole"},
        {{"abc\r", "\ndef\n"}, {"abc", "def"}, "", "a CR LF split between reads still loses its CR"},
        {{"abc\r", "\r\n"}, {"abc\r"}, "", "a CR at a read's end is kept when no LF follows it"},
        {{"\xE4\xB8", "\xAD\xE6\x96\x87\n"}, {"\xE4\xB8\xAD\xE6\x96\x87"}, "",
         "a UTF-8 character split across reads is joined before the line is handed out"},
        {{"x\n", "", "y\n"}, {"x", "y"}, "", "an empty read changes nothing"},
        {{"ab\0cd\nef\n"s, "gh\n"}, {"abgh"}, "", "a 0 byte drops the rest of its read, line feeds included"},
        {{"one\n\0two\n"s}, {"one"}, "", "lines before the 0 byte in the same read are kept"},
        {{"\0lost\n"s, "kept\n"}, {"kept"}, "", "a read that starts with 0 contributes nothing"},
        {{"ab\0cd"s, "ef\n"}, {"abef"}, "", "the next read continues the cut text"},
    };
    for (const Row& row : rows) {
        const Relayed got = Feed(row.reads);
        EXPECT_EQ(got.lines, row.lines) << row.why;
        EXPECT_EQ(got.tail, row.tail) << row.why;
    }
}

TEST(LineSplitter, ManyLinesInOneReadComeOutInOrder)
{
    std::string read;
    Lines expected;
    for (int n = 1; n <= 60; ++n) {
        read += "line " + std::to_string(n) + "\r\n";
        expected.push_back("line " + std::to_string(n));
    }
    read += "partial";
    const Relayed got = Feed({read});
    EXPECT_EQ(got.lines, expected);
    EXPECT_EQ(got.tail, "partial");
}

TEST(LineSplitter, ByteByByteFeedingGivesTheSameLines)
{
    const std::string text = "\xE4\xB8\xAD\xE6\x96\x87\r\n\r\nnpm warn x\r\nadded 3 packages\r\nend";
    std::vector<std::string> reads;
    for (char byte : text) reads.emplace_back(1, byte);
    const Relayed got = Feed(reads);
    EXPECT_EQ(got.lines, (Lines{"\xE4\xB8\xAD\xE6\x96\x87", "npm warn x", "added 3 packages"}));
    EXPECT_EQ(got.tail, "end");
}

TEST(LineSplitter, ReadTextStopsAtTheFirstZeroByte)
{
    using namespace std::string_literals;
    const struct Row {
        std::string read;
        std::string text;
        const char* why;
    } rows[] = {
        {"abc", "abc", "no 0 byte: all of it"},
        {"ab\0c\0d"s, "ab", "cut at the first 0 byte"},
        {"\0abc"s, "", "a leading 0 byte leaves nothing"},
        {"", "", "an empty read"},
        {"\xFF\xFE\n", "\xFF\xFE\n", "other bytes pass unchanged"},
    };
    for (const Row& row : rows) EXPECT_EQ(TextOfRead(row.read.data(), row.read.size()), row.text) << row.why;
}

}  // namespace
