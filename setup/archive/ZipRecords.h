#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

// The records of a ZIP file as the archive states them, read without trusting a single length.
namespace zip {

using Bytes = std::span<const uint8_t>;

constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

struct LocalEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    bool zip64 = false;
    std::string name;
    uint64_t dataStart = 0;
};

struct CentralEntry {
    std::string name;
    uint64_t localOffset = 0;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

// The central directory's entries in its own order, and the first of them for each local header offset.
struct CentralDirectory {
    bool found = false;  // an end record points at it
    std::vector<CentralEntry> entries;
    std::map<uint64_t, size_t> byOffset;

    const CentralEntry* Find(uint64_t localOffset) const
    {
        const auto found = byOffset.find(localOffset);
        return found == byOffset.end() ? nullptr : &entries[found->second];
    }
};

// The CRC-32s the data must match. Behind the descriptor flag a zero local CRC is only a placeholder, so
// the descriptor's and the central directory's count instead, each that is there; when neither is, the
// entry ends past the archive's end.
struct StatedCrcs {
    std::array<uint32_t, 2> values{};
    size_t count = 0;

    void Add(uint32_t crc) { values[count++] = crc; }
    bool MatchedBy(uint32_t crc) const
    {
        return std::all_of(values.begin(), values.begin() + count, [crc](uint32_t stated) { return stated == crc; });
    }
};

// The CRC-32 of the data, as ZIP computes it.
uint32_t Crc32(std::span<const uint8_t> data);
// Written as a test that cannot overflow: `length` bytes from `offset` lie within `size`.
bool Fits(uint64_t size, uint64_t offset, uint64_t length);
// False ends the walk: no local header here, or its name and extra field run past the end.
bool ReadLocalHeader(Bytes archive, uint64_t at, LocalEntry& entry);
// Every entry the directory lists, for the sizes and CRC-32 behind the descriptor flag and for the entries
// the walk never reaches; a damaged directory just yields fewer entries, a missing one none.
CentralDirectory ReadCentralDirectory(Bytes archive);
// Behind the descriptor flag the local sizes are provisional: streamed writers leave them zero, and Info-ZIP
// into a pipe counts a stored encrypted entry without its 12-byte encryption header. The central directory's
// sizes win; without them the local ones serve unless zero. False when the entry's extent is unknown.
bool SettleDescriptorSizes(const CentralEntry* listed, LocalEntry& entry);
// The data descriptor's length after the data, signature included; 0 without one or when it runs past the end.
uint64_t DescriptorLength(Bytes archive, uint64_t dataEnd, const LocalEntry& entry);
// The CRC-32s the entry's data must match, from its header, its descriptor and its directory entry.
StatedCrcs StatedCrcsOf(Bytes archive, const LocalEntry& entry, uint64_t dataEnd, uint64_t descriptorLength, const CentralEntry* listed);

}  // namespace zip
