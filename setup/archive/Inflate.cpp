#include "archive/Inflate.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

constexpr int kMaxCodeLength = 15;
constexpr int kMaxSymbols = 288;
constexpr int kMaxLengthCodes = 286;
constexpr int kMaxDistanceCodes = 30;
constexpr int kCodeLengthCodes = 19;
constexpr int kEndOfBlock = 256;
constexpr int kFirstLengthSymbol = 257;
constexpr int kLastLengthSymbol = 285;

// Length symbols 257..285: base length and count of extra bits (RFC 1951, 3.2.5).
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance symbols 0..29: base distance and count of extra bits.
constexpr uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic block sends the code-length code's lengths, rarest last.
constexpr uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Everything one call works on: the input with its bit reader and the output with its fill level.
struct InflateState {
    const uint8_t* src;
    uint64_t srcLen;
    uint64_t srcPos;
    uint64_t bitBuffer; // above the bitCount valid bits may sit the next byte's low bits, never anything else
    int bitCount;
    bool overread; // stays set, so every later check fails the decode too
    uint8_t* dst;
    uint64_t dstCap;
    uint64_t dstLen;
};

// A canonical code as decoding compares against it: the codes of length len are the len-bit numbers below
// limit[len] that no shorter code begins, and code c of that length stands for symbol[c + symbolBase[len]].
struct DecodingTable {
    detail::HuffmanTable code;
    int shortest; // lengths below it hold no codes; 16 for an empty code
    int limit[kMaxCodeLength + 1];
    int symbolBase[kMaxCodeLength + 1];
};

struct FixedHuffmanTables { DecodingTable lengthCode; DecodingTable distanceCode; };

uint64_t Load64(const uint8_t* p)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// Tops the accumulator up to at least 56 bits while the input lasts. With 8 bytes left it loads them as one
// word and keeps the whole bytes that fit; the bits of the next byte cut off at the top are the same ones the
// next load puts there, so or-ing them in again changes nothing. Near the end it goes byte by byte.
void Refill(InflateState& s)
{
    if (s.srcLen - s.srcPos >= 8) {
        s.bitBuffer |= Load64(s.src + s.srcPos) << s.bitCount;
        const int bytes = (63 - s.bitCount) / 8;
        s.srcPos += static_cast<uint64_t>(bytes);
        s.bitCount += bytes * 8;
        return;
    }
    while (s.bitCount <= 56 && s.srcPos < s.srcLen) {
        s.bitBuffer |= static_cast<uint64_t>(s.src[s.srcPos++]) << s.bitCount;
        s.bitCount += 8;
    }
}

void DropBits(InflateState& s, int n)
{
    s.bitBuffer >>= n;
    s.bitCount -= n;
}

// Takes n bits (0..13), least significant first; running out of input sets overread and yields 0.
uint32_t ReadBits(InflateState& s, int n)
{
    if (s.bitCount < n) {
        Refill(s);
        if (s.bitCount < n) {
            s.overread = true;
            return 0;
        }
    }
    const uint32_t value = static_cast<uint32_t>(s.bitBuffer) & ((1u << n) - 1);
    DropBits(s, n);
    return value;
}

// One bit per step, first bit of the code first: the code read so far is a whole code as soon as it falls
// below its length's limit. Near the end of the input the bits past it read as zeros, so a code that needs
// them is one the input cut short. -1 when nothing matches within 15 bits or the input ends first.
int DecodeSymbol(InflateState& s, const DecodingTable& table)
{
    if (s.bitCount < kMaxCodeLength)
        Refill(s);
    uint64_t bits = s.bitBuffer;
    int code = 0;
    int len = 0;
    // No code is shorter than the shortest, so its first bits need no comparison.
    for (; len + 1 < table.shortest; ++len, bits >>= 1)
        code = code * 2 + static_cast<int>(bits & 1);
    while (len < kMaxCodeLength) {
        code = code * 2 + static_cast<int>(bits & 1);
        bits >>= 1;
        ++len;
        if (code < table.limit[len]) {
            if (len > s.bitCount)
                return -1;
            DropBits(s, len);
            return table.code.symbol[code + table.symbolBase[len]];
        }
    }
    return -1;
}

// The limits and symbol positions follow from the counts alone: the first code of a length is twice the
// end of the codes of the length before.
bool BuildDecodingTable(DecodingTable& table, const uint8_t* lengths, int n)
{
    if (!detail::BuildHuffmanTable(table.code, lengths, n))
        return false;
    table.shortest = kMaxCodeLength + 1;
    int first = 0;
    int index = 0;
    table.limit[0] = 0;
    table.symbolBase[0] = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        const int count = table.code.count[len];
        if (count != 0 && table.shortest > len)
            table.shortest = len;
        table.limit[len] = first + count;
        table.symbolBase[len] = index - first;
        index += count;
        first = (first + count) * 2;
    }
    return true;
}

bool PutLiteral(InflateState& s, int literal)
{
    if (s.dstLen == s.dstCap)
        return false;
    s.dst[s.dstLen++] = static_cast<uint8_t>(literal);
    return true;
}

// Copies a match front to back. Eight bytes at a time only when the source ends before the destination
// begins; closer than that, byte by byte, so that an overlapping copy repeats the bytes it has just written.
void CopyWithin(uint8_t* to, uint32_t distance, uint32_t length)
{
    const uint8_t* from = to - distance;
    uint32_t i = 0;
    if (distance >= 8)
        for (; length - i >= 8; i += 8)
            std::memcpy(to + i, from + i, 8);
    for (; i < length; ++i)
        to[i] = from[i];
}

// A match: the length symbol's extra bits, a distance symbol and its extra bits, then a copy from that far back.
bool CopyMatch(InflateState& s, int lengthSymbol, const DecodingTable& distanceCode)
{
    const int lengthIndex = lengthSymbol - kFirstLengthSymbol;
    const uint32_t length = kLengthBase[lengthIndex] + ReadBits(s, kLengthExtra[lengthIndex]);
    if (s.overread)
        return false;
    const int distanceSymbol = DecodeSymbol(s, distanceCode);
    if (distanceSymbol < 0 || distanceSymbol >= kMaxDistanceCodes)
        return false;
    const uint32_t distance = kDistanceBase[distanceSymbol] + ReadBits(s, kDistanceExtra[distanceSymbol]);
    if (s.overread)
        return false;
    if (distance > s.dstLen || length > s.dstCap - s.dstLen)
        return false;
    CopyWithin(s.dst + s.dstLen, distance, length);
    s.dstLen += length;
    return true;
}

// Data of a fixed or dynamic block: literals 0..255, end of block 256, length symbols 257..285 each followed
// by a distance; 286 and 287 exist only in the fixed code and mean nothing.
bool InflateCodes(InflateState& s, const DecodingTable& lengthCode, const DecodingTable& distanceCode)
{
    for (;;) {
        const int symbol = DecodeSymbol(s, lengthCode);
        if (symbol < 0 || symbol > kLastLengthSymbol)
            return false;
        if (symbol == kEndOfBlock)
            return true;
        const bool ok = symbol < kEndOfBlock ? PutLiteral(s, symbol) : CopyMatch(s, symbol, distanceCode);
        if (!ok)
            return false;
    }
}

// Stored block: the rest of the current byte is skipped, then LEN and NLEN (16 bits each, little-endian,
// NLEN the one's complement of LEN) and LEN raw bytes.
bool InflateStored(InflateState& s)
{
    // The accumulator holds the rest of the current byte and whole bytes read ahead; those go back to the input.
    s.srcPos -= static_cast<uint64_t>(s.bitCount / 8);
    s.bitBuffer = 0;
    s.bitCount = 0;
    if (s.srcLen - s.srcPos < 4)
        return false;
    const uint8_t* header = s.src + s.srcPos;
    const uint32_t len = header[0] | (static_cast<uint32_t>(header[1]) << 8);
    const uint32_t nlen = header[2] | (static_cast<uint32_t>(header[3]) << 8);
    s.srcPos += 4;
    if (nlen != (~len & 0xFFFFu))
        return false;
    if (len > s.srcLen - s.srcPos || len > s.dstCap - s.dstLen)
        return false;
    if (len != 0)
        std::memcpy(s.dst + s.dstLen, s.src + s.srcPos, len);
    s.srcPos += len;
    s.dstLen += len;
    return true;
}

FixedHuffmanTables BuildFixedTables()
{
    uint8_t lengths[kMaxSymbols];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + kMaxSymbols, 8);
    FixedHuffmanTables tables{};
    // Both fixed codes are within the code space, so neither build can fail.
    BuildDecodingTable(tables.lengthCode, lengths, kMaxSymbols);
    std::fill(lengths, lengths + kMaxDistanceCodes, 5);
    BuildDecodingTable(tables.distanceCode, lengths, kMaxDistanceCodes);
    return tables;
}

// Fixed block: the data follows at once, coded with the literal/length and distance codes of RFC 1951, 3.2.6.
bool InflateFixed(InflateState& s)
{
    // Built on the first fixed block of the process; a function-local static is initialised once even across threads.
    static const FixedHuffmanTables fixed = BuildFixedTables();
    return InflateCodes(s, fixed.lengthCode, fixed.distanceCode);
}

// The literal/length and distance lengths as one run in the code-length code: 0..15 is a length, 16 repeats
// the previous length 3..6 times (2 extra bits), 17 writes 3..10 zeros (3 bits), 18 writes 11..138 zeros (7 bits).
bool ReadCodeLengths(InflateState& s, const DecodingTable& codeLengthCode, uint8_t* lengths, int total)
{
    int filled = 0;
    while (filled < total) {
        const int symbol = DecodeSymbol(s, codeLengthCode);
        if (symbol < 0)
            return false;
        if (symbol < 16) {
            lengths[filled++] = static_cast<uint8_t>(symbol);
            continue;
        }
        if (symbol == 16 && filled == 0)
            return false;
        const uint8_t value = symbol == 16 ? lengths[filled - 1] : 0;
        int repeat = 0;
        if (symbol == 16)
            repeat = 3 + static_cast<int>(ReadBits(s, 2));
        else if (symbol == 17)
            repeat = 3 + static_cast<int>(ReadBits(s, 3));
        else
            repeat = 11 + static_cast<int>(ReadBits(s, 7));
        // A count cut short by the end of input is checked here, not left for a later read to notice.
        if (s.overread || repeat > total - filled)
            return false;
        std::fill(lengths + filled, lengths + filled + repeat, value);
        filled += repeat;
    }
    return true;
}

// Dynamic block: HLIT (5 bits) + 257 literal/length lengths, HDIST (5 bits) + 1 distance lengths, HCLEN (4 bits) + 4
// code-length code lengths of 3 bits each in kCodeLengthOrder; then both sets of lengths, then the data.
bool InflateDynamic(InflateState& s)
{
    const int lengthCount = static_cast<int>(ReadBits(s, 5)) + 257;
    const int distanceCount = static_cast<int>(ReadBits(s, 5)) + 1;
    const int codeLengthCount = static_cast<int>(ReadBits(s, 4)) + 4;
    if (s.overread || lengthCount > kMaxLengthCodes || distanceCount > kMaxDistanceCodes)
        return false;

    uint8_t codeLengthLengths[kCodeLengthCodes] = {};
    for (int i = 0; i < codeLengthCount; ++i)
        codeLengthLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(ReadBits(s, 3));
    if (s.overread)
        return false;
    DecodingTable codeLengthCode;
    if (!BuildDecodingTable(codeLengthCode, codeLengthLengths, kCodeLengthCodes))
        return false;

    uint8_t lengths[kMaxLengthCodes + kMaxDistanceCodes];
    if (!ReadCodeLengths(s, codeLengthCode, lengths, lengthCount + distanceCount))
        return false;
    // Incomplete codes pass, as does a missing end-of-block code: decoding fails if the data needs what is missing.
    DecodingTable lengthCode;
    DecodingTable distanceCode;
    if (!BuildDecodingTable(lengthCode, lengths, lengthCount) ||
        !BuildDecodingTable(distanceCode, lengths + lengthCount, distanceCount))
        return false;
    return InflateCodes(s, lengthCode, distanceCode);
}

bool InflateBlock(InflateState& s, uint32_t type)
{
    switch (type) {
    case 0:
        return InflateStored(s);
    case 1:
        return InflateFixed(s);
    case 2:
        return InflateDynamic(s);
    default:
        return false; // type 3 is reserved
    }
}

} // namespace

// Canonical code from lengths: codes are handed out by length, then by symbol; false when over-subscribed.
bool detail::BuildHuffmanTable(HuffmanTable& table, const uint8_t* lengths, int n)
{
    // The table holds at most 288 symbols and 15-bit codes; anything else would write outside it.
    if (n < 0 || n > kMaxSymbols)
        return false;
    std::fill(std::begin(table.count), std::end(table.count), uint16_t{0});
    for (int symbol = 0; symbol < n; ++symbol) {
        if (lengths[symbol] > kMaxCodeLength)
            return false;
        ++table.count[lengths[symbol]];
    }
    table.count[0] = 0;

    // Each length doubles the codes still free and uses count[len] of them; fewer than none is over-subscribed.
    int left = 1;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        left = left * 2 - table.count[len];
        if (left < 0)
            return false;
    }

    uint16_t offset[kMaxCodeLength + 1] = {};
    for (int len = 1; len < kMaxCodeLength; ++len)
        offset[len + 1] = static_cast<uint16_t>(offset[len] + table.count[len]);
    for (int symbol = 0; symbol < n; ++symbol)
        if (lengths[symbol] != 0)
            table.symbol[offset[lengths[symbol]]++] = static_cast<uint16_t>(symbol);
    return true;
}

int64_t InflateRaw(const uint8_t* src, uint64_t srcLen, uint8_t* dst, uint64_t dstCap)
{
    // The count comes back as int64_t, so no more than its largest value may be written.
    const uint64_t cap = std::min<uint64_t>(dstCap, std::numeric_limits<int64_t>::max());
    InflateState s{src, srcLen, 0, 0, 0, false, dst, cap, 0};
    for (;;) {
        const bool lastBlock = ReadBits(s, 1) == 1;
        const uint32_t type = ReadBits(s, 2);
        if (s.overread || !InflateBlock(s, type))
            return -1;
        if (lastBlock)
            return static_cast<int64_t>(s.dstLen);
    }
}
