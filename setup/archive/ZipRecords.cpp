#include "archive/ZipRecords.h"

#include <initializer_list>
#include <optional>

namespace zip {

namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndOfCentralSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kSizeInZip64Extra = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;

// Local file header.
constexpr uint64_t kLocalFlags = 6;
constexpr uint64_t kLocalMethod = 8;
constexpr uint64_t kLocalCrc = 14;
constexpr uint64_t kLocalCompressedSize = 18;
constexpr uint64_t kLocalUncompressedSize = 22;
constexpr uint64_t kLocalNameLength = 26;
constexpr uint64_t kLocalExtraLength = 28;
constexpr uint64_t kLocalHeaderSize = 30;

// Extra field record: ID, data size, data.
constexpr uint64_t kExtraDataSize = 2;
constexpr uint64_t kExtraHeaderSize = 4;

// Data descriptor: optional signature, CRC-32, then both sizes in 4 or (ZIP64) 8 bytes each.
constexpr uint64_t kDescriptorBody = 12;
constexpr uint64_t kDescriptorBody64 = 20;

// Central directory file header.
constexpr uint64_t kCentralCrc = 16;
constexpr uint64_t kCentralCompressedSize = 20;
constexpr uint64_t kCentralUncompressedSize = 24;
constexpr uint64_t kCentralNameLength = 28;
constexpr uint64_t kCentralExtraLength = 30;
constexpr uint64_t kCentralCommentLength = 32;
constexpr uint64_t kCentralLocalOffset = 42;
constexpr uint64_t kCentralHeaderSize = 46;

// End of central directory record, its ZIP64 locator (just before it) and the ZIP64 record.
constexpr uint64_t kEndCentralOffset = 16;
constexpr uint64_t kEndCommentLength = 20;
constexpr uint64_t kEndSize = 22;
constexpr uint64_t kMaxCommentLength = 0xFFFF;
constexpr uint64_t kLocatorEndOffset = 8;
constexpr uint64_t kLocatorSize = 20;
constexpr uint64_t kZip64EndCentralOffset = 48;
constexpr uint64_t kZip64EndSize = 56;

// The CRC-32 polynomial in its reflected form, as ZIP uses it.
constexpr uint32_t kCrcPolynomial = 0xEDB88320;

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// Slicing-by-8: table k gives the CRC of a byte followed by k zero bytes, so eight bytes take one step.
// Byte at a time, the check would add about a quarter to the extraction time of typical archives. Built
// on first use rather than by the compiler, which would put 8 KiB more into setup.exe.
const CrcTables& CrcTablesOnce()
{
    static const CrcTables tables = [] {
        CrcTables made{};
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t crc = byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (kCrcPolynomial & (0u - (crc & 1u)));
            made[0][byte] = crc;
        }
        for (size_t k = 1; k < made.size(); ++k)
            for (size_t byte = 0; byte < 256; ++byte)
                made[k][byte] = (made[k - 1][byte] >> 8) ^ made[0][made[k - 1][byte] & 0xFF];
        return made;
    }();
    return tables;
}

uint32_t Load32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t ReadLittleEndian(Bytes bytes, uint64_t at, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[at + i];
    return value;
}

uint16_t Read16(Bytes bytes, uint64_t at) { return static_cast<uint16_t>(ReadLittleEndian(bytes, at, 2)); }
uint32_t Read32(Bytes bytes, uint64_t at) { return static_cast<uint32_t>(ReadLittleEndian(bytes, at, 4)); }
uint64_t Read64(Bytes bytes, uint64_t at) { return ReadLittleEndian(bytes, at, 8); }

bool HasSignature(Bytes bytes, uint64_t at, uint32_t signature)
{
    return Fits(bytes.size(), at, 4) && Read32(bytes, at) == signature;
}

// Fills the fields still marked 0xFFFFFFFF from the first ZIP64 record, whose presence also widens the descriptor.
bool ApplyZip64Extra(Bytes extra, std::initializer_list<uint64_t*> fields)
{
    for (uint64_t at = 0; Fits(extra.size(), at, kExtraHeaderSize);) {
        const uint64_t dataStart = at + kExtraHeaderSize;
        const uint64_t dataSize = Read16(extra, at + kExtraDataSize);
        if (Read16(extra, at) != kZip64ExtraId) {
            at = dataStart + dataSize;
            continue;
        }
        const uint64_t dataEnd = std::min<uint64_t>(dataStart + dataSize, extra.size());
        uint64_t field = dataStart;
        for (uint64_t* value : fields) {
            if (*value != kSizeInZip64Extra)
                continue;
            if (!Fits(dataEnd, field, 8))
                break;
            *value = Read64(extra, field);
            field += 8;
        }
        return true;
    }
    return false;
}

// Scans back over at most a maximal comment for the end record; prefers the ZIP64 record's offset.
std::optional<uint64_t> FindCentralDirectory(Bytes archive)
{
    if (archive.size() < kEndSize)
        return std::nullopt;
    const uint64_t last = archive.size() - kEndSize;
    const uint64_t first = last > kMaxCommentLength ? last - kMaxCommentLength : 0;
    for (uint64_t at = last + 1; at-- > first;) {
        if (Read32(archive, at) != kEndOfCentralSignature || !Fits(archive.size(), at + kEndSize, Read16(archive, at + kEndCommentLength)))
            continue;
        if (at >= kLocatorSize && Read32(archive, at - kLocatorSize) == kZip64LocatorSignature) {
            const uint64_t zip64End = Read64(archive, at - kLocatorSize + kLocatorEndOffset);
            if (Fits(archive.size(), zip64End, kZip64EndSize) && Read32(archive, zip64End) == kZip64EndSignature)
                return Read64(archive, zip64End + kZip64EndCentralOffset);
        }
        return Read32(archive, at + kEndCentralOffset);
    }
    return std::nullopt;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> data)
{
    const CrcTables& t = CrcTablesOnce();
    uint32_t crc = 0xFFFFFFFF;
    const uint8_t* p = data.data();
    size_t left = data.size();
    for (; left >= 8; p += 8, left -= 8) {
        const uint32_t low = crc ^ Load32(p);
        const uint32_t high = Load32(p + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; left > 0; ++p, --left)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return ~crc;
}

bool Fits(uint64_t size, uint64_t offset, uint64_t length)
{
    return offset <= size && length <= size - offset;
}

bool ReadLocalHeader(Bytes archive, uint64_t at, LocalEntry& entry)
{
    if (!Fits(archive.size(), at, kLocalHeaderSize) || Read32(archive, at) != kLocalHeaderSignature)
        return false;
    const uint64_t nameStart = at + kLocalHeaderSize;
    const uint64_t nameLength = Read16(archive, at + kLocalNameLength);
    const uint64_t extraLength = Read16(archive, at + kLocalExtraLength);
    if (!Fits(archive.size(), nameStart, nameLength + extraLength))
        return false;

    entry.flags = Read16(archive, at + kLocalFlags);
    entry.method = Read16(archive, at + kLocalMethod);
    entry.crc = Read32(archive, at + kLocalCrc);
    entry.compressedSize = Read32(archive, at + kLocalCompressedSize);
    entry.uncompressedSize = Read32(archive, at + kLocalUncompressedSize);
    entry.name.assign(reinterpret_cast<const char*>(archive.data() + nameStart), nameLength);
    entry.zip64 = ApplyZip64Extra(archive.subspan(nameStart + nameLength, extraLength), {&entry.uncompressedSize, &entry.compressedSize});
    entry.dataStart = nameStart + nameLength + extraLength;
    return true;
}

CentralDirectory ReadCentralDirectory(Bytes archive)
{
    CentralDirectory central;
    const std::optional<uint64_t> start = FindCentralDirectory(archive);
    if (!start)
        return central;
    central.found = true;
    for (uint64_t at = *start; Fits(archive.size(), at, kCentralHeaderSize) && Read32(archive, at) == kCentralHeaderSignature;) {
        const uint64_t nameStart = at + kCentralHeaderSize;
        const uint64_t nameLength = Read16(archive, at + kCentralNameLength);
        const uint64_t extraStart = nameStart + nameLength;
        const uint64_t extraLength = Read16(archive, at + kCentralExtraLength);
        const uint64_t commentLength = Read16(archive, at + kCentralCommentLength);
        if (!Fits(archive.size(), extraStart, extraLength + commentLength))
            break;
        CentralEntry entry;
        entry.name.assign(reinterpret_cast<const char*>(archive.data() + nameStart), nameLength);
        entry.crc = Read32(archive, at + kCentralCrc);
        entry.compressed = Read32(archive, at + kCentralCompressedSize);
        entry.uncompressed = Read32(archive, at + kCentralUncompressedSize);
        entry.localOffset = Read32(archive, at + kCentralLocalOffset);
        ApplyZip64Extra(archive.subspan(extraStart, extraLength), {&entry.uncompressed, &entry.compressed, &entry.localOffset});
        central.byOffset.emplace(entry.localOffset, central.entries.size());
        central.entries.push_back(std::move(entry));
        at = extraStart + extraLength + commentLength;
    }
    return central;
}

bool SettleDescriptorSizes(const CentralEntry* listed, LocalEntry& entry)
{
    if ((entry.flags & kFlagDescriptor) == 0)
        return true;
    if (!listed)
        return entry.compressedSize != 0;
    entry.compressedSize = listed->compressed;
    entry.uncompressedSize = listed->uncompressed;
    return true;
}

uint64_t DescriptorLength(Bytes archive, uint64_t dataEnd, const LocalEntry& entry)
{
    if ((entry.flags & kFlagDescriptor) == 0)
        return 0;
    uint64_t length = entry.zip64 ? kDescriptorBody64 : kDescriptorBody;
    if (HasSignature(archive, dataEnd, kDescriptorSignature))
        length += 4;
    return Fits(archive.size(), dataEnd, length) ? length : 0;
}

StatedCrcs StatedCrcsOf(Bytes archive, const LocalEntry& entry, uint64_t dataEnd, uint64_t descriptorLength, const CentralEntry* listed)
{
    StatedCrcs crcs;
    if ((entry.flags & kFlagDescriptor) == 0 || entry.crc != 0) {
        crcs.Add(entry.crc);
        return crcs;
    }
    if (descriptorLength != 0)
        crcs.Add(Read32(archive, dataEnd + descriptorLength - (entry.zip64 ? kDescriptorBody64 : kDescriptorBody)));
    if (listed)
        crcs.Add(listed->crc);
    return crcs;
}

}  // namespace zip
