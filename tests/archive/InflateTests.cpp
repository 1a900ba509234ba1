#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/Inflate.h"

using detail::HuffmanTable;
using detail::BuildHuffmanTable;

namespace {

// Streams are written bit by bit, least significant first, as DEFLATE packs them.
struct BitStream { std::vector<uint8_t> bytes; int bitsUsed = 0; };

void PutBits(BitStream& bs, uint32_t value, int n)
{
    for (int i = 0; i < n; ++i) {
        if (bs.bitsUsed == 0)
            bs.bytes.push_back(0);
        bs.bytes.back() = static_cast<uint8_t>(bs.bytes.back() | ((value >> i) & 1) << bs.bitsUsed);
        bs.bitsUsed = (bs.bitsUsed + 1) % 8;
    }
}

void AlignToByte(BitStream& bs)
{
    bs.bitsUsed = 0;
}

size_t BitPosition(const BitStream& bs)
{
    return bs.bytes.size() * 8 - (bs.bitsUsed == 0 ? 0 : 8 - bs.bitsUsed);
}

// A prefix code as an encoder sees it; codes come from lengths as RFC 1951, 3.2.2 assigns them.
struct Code { std::vector<uint8_t> lengths; std::vector<uint32_t> codes; };

Code MakeCode(const std::vector<uint8_t>& lengths)
{
    int lengthCount[16] = {};
    for (uint8_t len : lengths)
        ++lengthCount[len];
    lengthCount[0] = 0;
    uint32_t nextCode[16] = {};
    uint32_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + lengthCount[bits - 1]) << 1;
        nextCode[bits] = code;
    }
    Code result{lengths, std::vector<uint32_t>(lengths.size(), 0)};
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
        if (lengths[symbol] != 0)
            result.codes[symbol] = nextCode[lengths[symbol]]++;
    return result;
}

// Huffman codes go out most significant bit first.
void PutSymbol(BitStream& bs, const Code& code, int symbol)
{
    const int len = code.lengths.at(symbol);
    for (int i = len - 1; i >= 0; --i)
        PutBits(bs, code.codes[symbol] >> i, 1);
}

std::vector<uint8_t> Lengths(int n, std::initializer_list<std::pair<int, int>> set)
{
    std::vector<uint8_t> lengths(n, 0);
    for (const auto& [symbol, len] : set)
        lengths.at(symbol) = static_cast<uint8_t>(len);
    return lengths;
}

const Code& FixedLiteralCode()
{
    static const Code code = [] {
        std::vector<uint8_t> lengths(288, 8);
        std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
        std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
        return MakeCode(lengths);
    }();
    return code;
}

// All 32 five-bit patterns, so that the unused distance codes 30 and 31 can be sent too.
const Code& FixedDistanceCode()
{
    static const Code code = MakeCode(std::vector<uint8_t>(32, 5));
    return code;
}

// Symbol and extra bits for a length or distance, derived from the RFC's rules rather than its tables.
struct RangeCode { int symbol; int extraBits; int extraValue; };

RangeCode LengthCode(int length)
{
    if (length == 258)
        return {285, 0, 0};
    int base = 3;
    for (int symbol = 257; symbol < 285; ++symbol) {
        const int extra = symbol < 265 ? 0 : (symbol - 261) / 4;
        if (length < base + (1 << extra))
            return {symbol, extra, length - base};
        base += 1 << extra;
    }
    ADD_FAILURE() << "no length symbol for " << length;
    return {256, 0, 0};
}

RangeCode DistanceCode(int distance)
{
    int base = 1;
    for (int symbol = 0; symbol < 30; ++symbol) {
        const int extra = symbol < 4 ? 0 : symbol / 2 - 1;
        if (distance < base + (1 << extra))
            return {symbol, extra, distance - base};
        base += 1 << extra;
    }
    ADD_FAILURE() << "no distance symbol for " << distance;
    return {0, 0, 0};
}

void PutHeader(BitStream& bs, bool last, int type)
{
    PutBits(bs, last ? 1 : 0, 1);
    PutBits(bs, static_cast<uint32_t>(type), 2);
}

void PutLiterals(BitStream& bs, const Code& literal, const std::string& text)
{
    for (unsigned char c : text)
        PutSymbol(bs, literal, c);
}

void PutMatch(BitStream& bs, const Code& literal, const Code& distance, int length, int dist)
{
    const RangeCode lc = LengthCode(length);
    PutSymbol(bs, literal, lc.symbol);
    PutBits(bs, static_cast<uint32_t>(lc.extraValue), lc.extraBits);
    const RangeCode dc = DistanceCode(dist);
    PutSymbol(bs, distance, dc.symbol);
    PutBits(bs, static_cast<uint32_t>(dc.extraValue), dc.extraBits);
}

void PutEnd(BitStream& bs, const Code& literal)
{
    PutSymbol(bs, literal, 256);
}

void PutStored(BitStream& bs, bool last, const std::string& data, uint32_t nlenFlip = 0)
{
    PutHeader(bs, last, 0);
    AlignToByte(bs);
    const uint32_t len = static_cast<uint32_t>(data.size());
    PutBits(bs, len, 16);
    PutBits(bs, (~len ^ nlenFlip) & 0xFFFF, 16);
    for (unsigned char c : data)
        PutBits(bs, c, 8);
}

void PutFixedLiterals(BitStream& bs, bool last, const std::string& text)
{
    PutHeader(bs, last, 1);
    PutLiterals(bs, FixedLiteralCode(), text);
    PutEnd(bs, FixedLiteralCode());
}

// One code-length symbol with the value of its repeat bits.
struct LengthOp { int symbol; uint32_t extra; };

const int kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Complete code-length code whose lengths alternate 4 and 5 along the sending order (17 gets 3),
// so that two neighbours swapped in a decoder's order table change the code.
std::vector<uint8_t> DefaultCodeLengthLengths()
{
    std::vector<uint8_t> lengths(19, 0);
    for (int position = 0; position < 19; ++position)
        lengths[kCodeLengthOrder[position]] = position == 1 ? 3 : position % 2 == 0 ? 4 : 5;
    return lengths;
}

// Dynamic block header announcing the given counts, followed by code-length symbols exactly as listed.
void PutDynamicHeader(BitStream& bs, bool last, int literalCount, int distanceCount, const std::vector<LengthOp>& ops,
                      const std::vector<uint8_t>& codeLengthLengths = DefaultCodeLengthLengths())
{
    PutHeader(bs, last, 2);
    PutBits(bs, static_cast<uint32_t>(literalCount - 257), 5);
    PutBits(bs, static_cast<uint32_t>(distanceCount - 1), 5);
    PutBits(bs, 19 - 4, 4);
    for (int symbol : kCodeLengthOrder)
        PutBits(bs, codeLengthLengths[symbol], 3);
    const Code codeLengthCode = MakeCode(codeLengthLengths);
    for (const LengthOp& op : ops) {
        PutSymbol(bs, codeLengthCode, op.symbol);
        const int extraBits = op.symbol == 16 ? 2 : op.symbol == 17 ? 3 : op.symbol == 18 ? 7 : 0;
        PutBits(bs, op.extra, extraBits);
    }
}

// Dynamic block header sending every length as its own symbol; the caller then writes data with the codes.
std::pair<Code, Code> PutDynamicCodes(BitStream& bs, bool last, const std::vector<uint8_t>& literalLengths,
                                      const std::vector<uint8_t>& distanceLengths)
{
    std::vector<LengthOp> ops;
    for (uint8_t len : literalLengths)
        ops.push_back({len, 0});
    for (uint8_t len : distanceLengths)
        ops.push_back({len, 0});
    PutDynamicHeader(bs, last, static_cast<int>(literalLengths.size()), static_cast<int>(distanceLengths.size()), ops);
    return {MakeCode(literalLengths), MakeCode(distanceLengths)};
}

// Lengths 0..96 zero, 'a' (97) one bit, 98..255 zero, end of block (256) of the given length.
std::vector<LengthOp> OpsForLiteralA(int endOfBlockLength)
{
    return {{18, 127 - 41}, {1, 0}, {18, 127}, {18, 9}, {endOfBlockLength, 0}};
}

constexpr size_t kGuardSize = 32;
constexpr uint8_t kGuardByte = 0xA5;

struct Decoded { int64_t result; std::string output; bool guardIntact; };

// The input sits in an allocation of exactly its size and the output is followed by guard bytes,
// so reads past the input trip the sanitizer and writes past the capacity show up without one.
Decoded Decode(const std::vector<uint8_t>& stream, uint64_t capacity)
{
    std::unique_ptr<uint8_t[]> input(new uint8_t[stream.size()]);
    std::copy(stream.begin(), stream.end(), input.get());
    std::vector<uint8_t> out(capacity + kGuardSize, kGuardByte);
    const int64_t result = InflateRaw(input.get(), stream.size(), out.data(), capacity);
    const bool guardIntact = std::all_of(out.begin() + static_cast<std::ptrdiff_t>(capacity), out.end(),
                                         [](uint8_t b) { return b == kGuardByte; });
    const size_t produced = result > 0 ? static_cast<size_t>(result) : 0;
    return {result, std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced)), guardIntact};
}

struct AcceptRow { const char* reason; std::vector<uint8_t> stream; std::string expected; };

std::vector<AcceptRow> AcceptedStreams()
{
    std::vector<AcceptRow> rows;
    const Code& lit = FixedLiteralCode();
    const Code& dist = FixedDistanceCode();
    BitStream bs;

    PutStored(bs, true, "");
    rows.push_back({"empty final stored block gives 0 bytes", bs.bytes, ""});

    bs = {};
    PutFixedLiterals(bs, true, "a");
    rows.push_back({"single fixed literal", bs.bytes, "a"});

    bs = {};
    PutHeader(bs, true, 1);
    PutLiterals(bs, lit, "a");
    PutMatch(bs, lit, dist, 258, 1);
    PutEnd(bs, lit);
    rows.push_back({"length 258 at distance 1 repeats one byte", bs.bytes, std::string(259, 'a')});

    bs = {};
    PutHeader(bs, true, 1);
    PutLiterals(bs, lit, "abc");
    PutMatch(bs, lit, dist, 7, 3);
    PutEnd(bs, lit);
    rows.push_back({"overlapping match copies bytes it has just written", bs.bytes, "abcabcabca"});

    bs = {};
    PutFixedLiterals(bs, false, "ab");
    PutStored(bs, true, "cd");
    rows.push_back({"stored block after a fixed block skips to the byte boundary", bs.bytes, "abcd"});

    bs = {};
    PutStored(bs, false, "ab");
    PutFixedLiterals(bs, true, "cd");
    rows.push_back({"block after a stored block reads from the byte after its data", bs.bytes, "abcd"});

    bs = {};
    PutStored(bs, false, "");
    PutStored(bs, false, "");
    PutFixedLiterals(bs, true, "x");
    rows.push_back({"empty non-final stored blocks, as a flush writes them", bs.bytes, "x"});

    bs = {};
    PutFixedLiterals(bs, true, "a");
    bs.bytes.insert(bs.bytes.end(), {0xFF, 0xFF, 0x07});
    rows.push_back({"bytes after the final block are ignored", bs.bytes, "a"});

    std::string big(65535, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + (i >> 9));
    bs = {};
    PutStored(bs, true, big);
    rows.push_back({"largest stored block, LEN 65535", bs.bytes, big});

    bs = {};
    auto [litA, distA] = PutDynamicCodes(bs, true, Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), {1});
    PutLiterals(bs, litA, "a");
    PutMatch(bs, litA, distA, 3, 1);
    PutEnd(bs, litA);
    rows.push_back({"single distance code of one bit (incomplete) is accepted", bs.bytes, "aaaa"});

    bs = {};
    auto [litB, distB] = PutDynamicCodes(bs, true, Lengths(259, {{'a', 2}, {'b', 2}, {256, 2}, {258, 2}}), {0, 1});
    PutLiterals(bs, litB, "ab");
    PutMatch(bs, litB, distB, 4, 2);
    PutEnd(bs, litB);
    rows.push_back({"single distance code that is not symbol 0", bs.bytes, "ababab"});

    bs = {};
    auto [litC, distC] = PutDynamicCodes(bs, true, Lengths(258, {{'a', 3}, {'b', 3}, {'c', 3}, {'d', 3}, {256, 2}, {257, 2}}),
                                         std::vector<uint8_t>(30, 5));
    PutLiterals(bs, litC, "abcd");
    PutMatch(bs, litC, distC, 3, 4);
    PutEnd(bs, litC);
    rows.push_back({"30 distance lengths is the most allowed", bs.bytes, "abcdabc"});

    std::vector<uint8_t> chain(257, 0);
    for (int symbol = 0; symbol < 14; ++symbol)
        chain[symbol] = static_cast<uint8_t>(symbol + 1);
    chain[14] = 15;
    chain[256] = 15;
    bs = {};
    auto [litD, distD] = PutDynamicCodes(bs, true, chain, {0});
    std::string fifteen;
    for (int symbol = 0; symbol <= 14; ++symbol) {
        PutSymbol(bs, litD, symbol);
        fifteen.push_back(static_cast<char>(symbol));
    }
    PutEnd(bs, litD);
    rows.push_back({"codes of every length from 1 to 15 bits, no distance codes", bs.bytes, fifteen});

    bs = {};
    PutDynamicCodes(bs, true, Lengths(257, {{256, 1}}), {0});
    PutBits(bs, 0, 1);
    rows.push_back({"end of block as the only code", bs.bytes, ""});

    // 'a' and end of block 2 bits; 16 repeats that 2 over symbol 257 and the first two distance lengths.
    bs = {};
    PutDynamicHeader(bs, true, 258, 3, {{18, 127 - 41}, {2, 0}, {18, 127}, {18, 9}, {2, 0}, {16, 0}, {0, 0}});
    const Code litE = MakeCode(Lengths(258, {{'a', 2}, {256, 2}, {257, 2}}));
    const Code distE = MakeCode({2, 2, 0});
    PutLiterals(bs, litE, "a");
    PutMatch(bs, litE, distE, 3, 1);
    PutMatch(bs, litE, distE, 3, 2);
    PutEnd(bs, litE);
    rows.push_back({"repeat 16 crosses from literal/length into distance lengths", bs.bytes, "aaaaaaa"});

    return rows;
}

TEST(InflateRaw, DecodesWellFormedStreams)
{
    for (const AcceptRow& row : AcceptedStreams()) {
        const Decoded d = Decode(row.stream, row.expected.size() + 100);
        EXPECT_EQ(d.result, static_cast<int64_t>(row.expected.size())) << row.reason;
        EXPECT_EQ(d.output, row.expected) << row.reason;
        EXPECT_TRUE(d.guardIntact) << row.reason;
    }
}

TEST(InflateRaw, EmptyOutputNeedsNoBuffer)
{
    BitStream bs;
    PutStored(bs, true, "");
    EXPECT_EQ(InflateRaw(bs.bytes.data(), bs.bytes.size(), nullptr, 0), 0);
}

struct RejectRow { const char* reason; std::vector<uint8_t> stream; };

std::vector<RejectRow> RejectedStreams()
{
    std::vector<RejectRow> rows;
    const Code& lit = FixedLiteralCode();
    const Code& dist = FixedDistanceCode();
    BitStream bs;

    rows.push_back({"no input at all", {}});

    PutHeader(bs, true, 3);
    PutLiterals(bs, lit, "a");
    PutEnd(bs, lit);
    rows.push_back({"block type 3 followed by what would be fixed data", bs.bytes});

    bs = {};
    PutFixedLiterals(bs, false, "a");
    PutHeader(bs, true, 3);
    PutLiterals(bs, lit, "b");
    PutEnd(bs, lit);
    rows.push_back({"block type 3 after a good block", bs.bytes});

    bs = {};
    PutStored(bs, true, "hello", 0x0001);
    rows.push_back({"stored NLEN one bit off the complement of LEN", bs.bytes});

    bs = {};
    PutStored(bs, true, "hello", 0x8000);
    rows.push_back({"stored NLEN wrong in its high byte only", bs.bytes});

    rows.push_back({"stored header with 3 of its 4 length bytes", {0x01, 0x00, 0x00, 0xFF}});
    rows.push_back({"stored LEN larger than the bytes that follow", {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b', 'c', 'd'}});

    const std::vector<uint8_t> validLiterals = Lengths(287, {{'a', 1}, {256, 1}});
    for (int literalCount : {287, 288}) {
        bs = {};
        std::vector<uint8_t> lengths = validLiterals;
        lengths.resize(static_cast<size_t>(literalCount), 0);
        auto [codeLit, codeDist] = PutDynamicCodes(bs, true, lengths, {0});
        PutLiterals(bs, codeLit, "a");
        PutEnd(bs, codeLit);
        rows.push_back({literalCount == 287 ? "287 literal/length lengths" : "288 literal/length lengths", bs.bytes});
    }
    for (int distanceCount : {31, 32}) {
        bs = {};
        auto [codeLit, codeDist] = PutDynamicCodes(bs, true, Lengths(257, {{'a', 1}, {256, 1}}),
                                                   std::vector<uint8_t>(static_cast<size_t>(distanceCount), 0));
        PutLiterals(bs, codeLit, "a");
        PutEnd(bs, codeLit);
        rows.push_back({distanceCount == 31 ? "31 distance lengths" : "32 distance lengths", bs.bytes});
    }

    // Taking the missing previous length as 0 would make this a valid stream of "a".
    bs = {};
    PutDynamicHeader(bs, true, 257, 1, {{16, 0}, {18, 83}, {1, 0}, {18, 127}, {18, 9}, {1, 0}, {0, 0}});
    const Code litA = MakeCode(Lengths(257, {{'a', 1}, {256, 1}}));
    PutLiterals(bs, litA, "a");
    PutEnd(bs, litA);
    rows.push_back({"repeat 16 before any length", bs.bytes});

    bs = {};
    std::vector<uint8_t> overCodeLengths = DefaultCodeLengthLengths();
    overCodeLengths[0] = 4;
    PutDynamicHeader(bs, true, 257, 1, {}, overCodeLengths);
    rows.push_back({"over-subscribed code-length code", bs.bytes});

    // Only 'a' and end of block are used, so just the table check can fail these.
    bs = {};
    auto [overLit, overLitDist] = PutDynamicCodes(bs, true, Lengths(258, {{'a', 1}, {256, 1}, {257, 1}}), {0});
    PutLiterals(bs, overLit, "a");
    PutEnd(bs, overLit);
    rows.push_back({"over-subscribed literal/length code", bs.bytes});

    bs = {};
    auto [okLit, overDist] = PutDynamicCodes(bs, true, Lengths(257, {{'a', 1}, {256, 1}}), {1, 1, 1});
    PutLiterals(bs, okLit, "a");
    PutEnd(bs, okLit);
    rows.push_back({"over-subscribed distance code", bs.bytes});

    bs = {};
    PutHeader(bs, true, 1);
    PutLiterals(bs, lit, "ab");
    PutMatch(bs, lit, dist, 3, 3);
    PutEnd(bs, lit);
    rows.push_back({"distance one past the bytes written", bs.bytes});

    bs = {};
    PutHeader(bs, true, 1);
    PutMatch(bs, lit, dist, 3, 1);
    PutEnd(bs, lit);
    rows.push_back({"match before any output", bs.bytes});

    bs = {};
    PutStored(bs, false, std::string(100, 'z'));
    PutHeader(bs, true, 1);
    PutMatch(bs, lit, dist, 3, 101);
    PutEnd(bs, lit);
    rows.push_back({"distance reaching before the output start though inside the capacity", bs.bytes});

    for (int symbol : {286, 287}) {
        bs = {};
        PutHeader(bs, true, 1);
        PutLiterals(bs, lit, "a");
        PutSymbol(bs, lit, symbol);
        PutSymbol(bs, dist, 0);
        PutEnd(bs, lit);
        rows.push_back({symbol == 286 ? "fixed literal/length symbol 286" : "fixed literal/length symbol 287", bs.bytes});
    }
    for (int symbol : {30, 31}) {
        bs = {};
        PutHeader(bs, true, 1);
        PutLiterals(bs, lit, "a");
        PutSymbol(bs, lit, 257);
        PutSymbol(bs, dist, symbol);
        PutBits(bs, 0, 13);
        PutEnd(bs, lit);
        rows.push_back({symbol == 30 ? "fixed distance code 30" : "fixed distance code 31", bs.bytes});
    }

    bs = {};
    PutHeader(bs, true, 1);
    PutLiterals(bs, lit, "a");
    rows.push_back({"final block without its end of block", bs.bytes});

    bs = {};
    PutFixedLiterals(bs, false, "a");
    rows.push_back({"non-final block, then the input ends", bs.bytes});

    bs = {};
    auto [gapLit, gapDist] = PutDynamicCodes(bs, true, Lengths(257, {{'a', 1}, {256, 2}}), {0});
    PutLiterals(bs, gapLit, "a");
    PutBits(bs, 0xFFFF, 16);
    rows.push_back({"bits matching no literal/length code within 15 bits", bs.bytes});

    bs = {};
    auto [oneLit, oneDist] = PutDynamicCodes(bs, true, Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), {0, 1});
    PutLiterals(bs, oneLit, "a");
    PutSymbol(bs, oneLit, 257);
    PutBits(bs, 0xFFFF, 16);
    rows.push_back({"bits matching no distance code under a single-code table", bs.bytes});

    bs = {};
    auto [noEndLit, noEndDist] = PutDynamicCodes(bs, true, Lengths(257, {{'a', 1}, {'b', 1}}), {0});
    PutLiterals(bs, noEndLit, "ab");
    rows.push_back({"literal/length code without an end-of-block code", bs.bytes});

    return rows;
}

TEST(InflateRaw, RejectsInvalidStreams)
{
    for (const RejectRow& row : RejectedStreams()) {
        const Decoded d = Decode(row.stream, 4096);
        EXPECT_EQ(d.result, -1) << row.reason;
        EXPECT_TRUE(d.guardIntact) << row.reason;
    }
}

// Each repeat symbol filling the announced lengths exactly is fine; one more is an error.
TEST(InflateRaw, RepeatMayNotRunPastTheAnnouncedLengths)
{
    struct Row { int symbol; int distanceCount; uint32_t exactExtra; const char* reason; };
    const Row rows[] = {
        {16, 3, 0, "16 repeating the end-of-block length into 3 distance lengths"},
        {17, 3, 0, "17 writing 3 zero distance lengths"},
        {17, 9, 6, "17 writing 9 zero distance lengths"},
        {18, 11, 0, "18 writing 11 zero distance lengths"},
    };
    for (const Row& row : rows) {
        for (uint32_t extra : {row.exactExtra, row.exactExtra + 1}) {
            BitStream bs;
            std::vector<LengthOp> ops = OpsForLiteralA(2);
            ops.push_back({row.symbol, extra});
            PutDynamicHeader(bs, true, 257, row.distanceCount, ops);
            const Code litA = MakeCode(Lengths(257, {{'a', 1}, {256, 2}}));
            PutLiterals(bs, litA, "a");
            PutEnd(bs, litA);
            const Decoded d = Decode(bs.bytes, 16);
            if (extra == row.exactExtra)
                EXPECT_EQ(d.output, "a") << row.reason << ": exact count";
            else
                EXPECT_EQ(d.result, -1) << row.reason << ": one past the count";
        }
    }
}

TEST(InflateRaw, OutputCapacityIsExact)
{
    struct Row { const char* reason; std::vector<uint8_t> stream; std::string expected; };
    std::vector<Row> rows;
    const Code& lit = FixedLiteralCode();
    const Code& dist = FixedDistanceCode();
    BitStream bs;

    PutStored(bs, true, "hello");
    rows.push_back({"stored block", bs.bytes, "hello"});

    bs = {};
    PutFixedLiterals(bs, true, "hello");
    rows.push_back({"last byte is a literal", bs.bytes, "hello"});

    bs = {};
    PutHeader(bs, true, 1);
    PutLiterals(bs, lit, "a");
    PutMatch(bs, lit, dist, 258, 1);
    PutEnd(bs, lit);
    rows.push_back({"last bytes come from a long match", bs.bytes, std::string(259, 'a')});

    bs = {};
    PutStored(bs, false, "abc");
    PutHeader(bs, true, 1);
    PutMatch(bs, lit, dist, 10, 3);
    PutEnd(bs, lit);
    rows.push_back({"match into the stored block's bytes", bs.bytes, "abcabcabcabca"});

    for (const Row& row : rows) {
        const Decoded fits = Decode(row.stream, row.expected.size());
        EXPECT_EQ(fits.result, static_cast<int64_t>(row.expected.size())) << row.reason << ": exact capacity";
        EXPECT_EQ(fits.output, row.expected) << row.reason;
        for (uint64_t capacity : {uint64_t{0}, row.expected.size() - 1}) {
            const Decoded tight = Decode(row.stream, capacity);
            EXPECT_EQ(tight.result, -1) << row.reason << ": capacity " << capacity;
            EXPECT_TRUE(tight.guardIntact) << row.reason << ": capacity " << capacity;
        }
    }
}

// Every length 3..258 at distances on both sides of the eight-byte copy step: overlapping copies must repeat
// the bytes just written, others must copy whole steps and the tail. One byte less room must fail inside the match.
TEST(InflateRaw, EveryMatchLength)
{
    const Code& lit = FixedLiteralCode();
    const Code& dist = FixedDistanceCode();
    const std::string history = "abcdefghijklmnopq";
    for (const int distance : {1, 2, 7, 8, 9, 16, 17}) {
        for (int length = 3; length <= 258; ++length) {
            BitStream bs;
            PutHeader(bs, true, 1);
            PutLiterals(bs, lit, history.substr(0, static_cast<size_t>(distance)));
            PutMatch(bs, lit, dist, length, distance);
            PutEnd(bs, lit);
            std::string expected = history.substr(0, static_cast<size_t>(distance));
            for (int i = 0; i < length; ++i)
                expected.push_back(expected[expected.size() - static_cast<size_t>(distance)]);
            const Decoded d = Decode(bs.bytes, 300);
            EXPECT_EQ(d.output, expected) << "length " << length << ", distance " << distance;
            const Decoded tight = Decode(bs.bytes, expected.size() - 1);
            EXPECT_EQ(tight.result, -1) << "length " << length << ", distance " << distance;
            EXPECT_TRUE(tight.guardIntact) << "length " << length << ", distance " << distance;
        }
    }
}

// The first and last distance of every distance symbol, against 32 KiB of varied history.
TEST(InflateRaw, EveryDistanceSymbolAtBothEnds)
{
    std::string history(32768, '\0');
    uint32_t x = 12345;
    for (char& c : history) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    std::vector<int> distances;
    for (int symbol = 0, base = 1; symbol < 30; ++symbol) {
        const int extra = symbol < 4 ? 0 : symbol / 2 - 1;
        distances.push_back(base);
        distances.push_back(base + (1 << extra) - 1);
        base += 1 << extra;
    }

    const Code& lit = FixedLiteralCode();
    const Code& dist = FixedDistanceCode();
    BitStream bs;
    PutStored(bs, false, history);
    PutHeader(bs, true, 1);
    std::string expected = history;
    for (int distance : distances) {
        PutMatch(bs, lit, dist, 3, distance);
        for (int i = 0; i < 3; ++i)
            expected.push_back(expected[expected.size() - static_cast<size_t>(distance)]);
    }
    PutEnd(bs, lit);
    const Decoded d = Decode(bs.bytes, expected.size());
    ASSERT_EQ(d.result, static_cast<int64_t>(expected.size()));
    EXPECT_TRUE(d.output == expected) << "a match copied from the wrong distance";
}

// Stored, dynamic and fixed blocks in one stream; the fixed block comes last so it follows a dynamic build.
std::pair<std::vector<uint8_t>, std::string> MixedStream()
{
    BitStream bs;
    PutStored(bs, false, "Hello, ");
    auto [litX, distX] = PutDynamicCodes(bs, false,
                                         Lengths(260, {{'l', 2}, {'o', 3}, {'w', 3}, {256, 3}, {257, 4}, {258, 5}, {259, 5}}),
                                         {0, 2, 2, 1});
    PutLiterals(bs, litX, "wol");
    PutMatch(bs, litX, distX, 5, 2);
    PutMatch(bs, litX, distX, 4, 4);
    PutEnd(bs, litX);
    PutHeader(bs, true, 1);
    PutLiterals(bs, FixedLiteralCode(), "!\n");
    PutMatch(bs, FixedLiteralCode(), FixedDistanceCode(), 7, 21);
    PutEnd(bs, FixedLiteralCode());
    return {bs.bytes, "Hello, wol" "ololo" "lolo" "!\n" "Hello, "};
}

TEST(InflateRaw, MixedBlocksDecodeAndEveryTruncationFails)
{
    const auto [stream, expected] = MixedStream();
    const Decoded whole = Decode(stream, expected.size());
    ASSERT_EQ(whole.output, expected);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        const std::vector<uint8_t> prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(Decode(prefix, expected.size()).result, -1) << "cut after " << cut << " of " << stream.size() << " bytes";
    }
}

// The input ends inside the 7 repeat bits of the last code-length symbol; the few bits loaded for it would
// otherwise be enough to decode the one-bit end-of-block code and report success.
TEST(InflateRaw, RepeatCountCutShortByTheInputFails)
{
    for (int shift = 0; shift < 8; ++shift) {
        BitStream bs;
        for (int i = 0; i < shift; ++i)
            PutFixedLiterals(bs, false, "");
        std::vector<LengthOp> ops = {{18, 127}, {18, 107}, {1, 0}};
        PutDynamicHeader(bs, true, 257, 11, ops);
        PutSymbol(bs, MakeCode(DefaultCodeLengthLengths()), 18);
        const size_t countStart = BitPosition(bs);
        PutBits(bs, 0, 7);
        PutBits(bs, 0, 1);
        if (countStart % 8 < 2)
            continue;
        ASSERT_EQ(Decode(bs.bytes, 16).result, 0) << "the uncut stream is valid";
        const std::vector<uint8_t> cut(bs.bytes.begin(), bs.bytes.begin() + static_cast<std::ptrdiff_t>(countStart / 8 + 1));
        EXPECT_EQ(Decode(cut, 16).result, -1);
        return;
    }
    FAIL() << "no alignment put the repeat count across a byte end";
}

struct TableRow { std::vector<uint8_t> lengths; bool ok; std::vector<uint16_t> symbols; const char* reason; };

TEST(BuildHuffmanTable, OrdersSymbolsCanonicallyAndRejectsOverSubscription)
{
    std::vector<uint8_t> fullChain;
    for (uint8_t len = 1; len <= 15; ++len)
        fullChain.push_back(len);
    fullChain.push_back(15);
    std::vector<uint8_t> overChain = fullChain;
    overChain.push_back(15);

    const TableRow rows[] = {
        {{3, 3, 3, 3, 3, 2, 4, 4}, true, {5, 0, 1, 2, 3, 4, 6, 7}, "RFC 1951 example: by length, then by symbol"},
        {{0, 2, 1, 0, 2}, true, {2, 1, 4}, "zero lengths take no code"},
        {{1, 1}, true, {0, 1}, "complete one-bit code"},
        {{0, 0, 1}, true, {2}, "single code (incomplete) accepted"},
        {{0, 0, 0}, true, {}, "no codes at all accepted"},
        {{}, true, {}, "no symbols"},
        {{1, 1, 1}, false, {}, "three one-bit codes"},
        {{2, 2, 2, 2, 1}, false, {}, "one code too many at the second length"},
        {fullChain, true, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, "complete only at 15 bits"},
        {overChain, false, {}, "over-subscribed only at 15 bits"},
        {{16}, false, {}, "a length above 15 has no place in the table"},
    };
    for (const TableRow& row : rows) {
        HuffmanTable table;
        const bool ok = BuildHuffmanTable(table, row.lengths.data(), static_cast<int>(row.lengths.size()));
        EXPECT_EQ(ok, row.ok) << row.reason;
        if (!ok || !row.ok)
            continue;
        EXPECT_EQ(table.count[0], 0) << row.reason;
        int total = 0;
        for (int len = 1; len < 16; ++len) {
            EXPECT_EQ(table.count[len], static_cast<int>(std::count(row.lengths.begin(), row.lengths.end(), len))) << row.reason << ", length " << len;
            total += table.count[len];
        }
        EXPECT_EQ(std::vector<uint16_t>(table.symbol, table.symbol + total), row.symbols) << row.reason;
    }
}

TEST(BuildHuffmanTable, RefusesMoreSymbolsThanTheTableHolds)
{
    const std::vector<uint8_t> lengths(289, 0);
    HuffmanTable table;
    EXPECT_TRUE(BuildHuffmanTable(table, lengths.data(), 288));
    EXPECT_FALSE(BuildHuffmanTable(table, lengths.data(), 289));
    EXPECT_FALSE(BuildHuffmanTable(table, lengths.data(), -1));
}

} // namespace
