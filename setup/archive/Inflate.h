#pragma once
#include <cstdint>

// Decodes a raw DEFLATE stream into dst; the bytes written, or -1 for bad data or too little room.
int64_t InflateRaw(const uint8_t* src, uint64_t srcLen, uint8_t* dst, uint64_t dstCap);

// For the tests only: the canonical code the decoder's tables are built on.
namespace detail {
// Canonical Huffman code: codes per length 0..15 and the symbols in code order; sized for the largest alphabet.
struct HuffmanTable { uint16_t count[16]; uint16_t symbol[288]; };

// Builds the canonical code from lengths; false when over-subscribed or out of range.
bool BuildHuffmanTable(HuffmanTable& table, const uint8_t* lengths, int n);
}  // namespace detail
