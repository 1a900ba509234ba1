#include "archive/Zip.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "archive/Inflate.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::span<const uint8_t>;

constexpr uint64_t kMaxArchiveSize = 1073741824;
constexpr uint64_t kMaxEntryOutput = 268435456;
constexpr uint64_t kMaxDeflateRatio = 1032;

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndOfCentralSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kSizeInZip64Extra = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;

constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

// Local file header.
constexpr uint64_t kLocalFlags = 6;
constexpr uint64_t kLocalMethod = 8;
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

struct LocalEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    bool zip64 = false;
    std::string name;
    uint64_t dataStart = 0;
};

struct EntrySizes {
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

// Central directory sizes by the offset of the local header they describe.
using CentralSizes = std::map<uint64_t, EntrySizes>;

// Written as a test that cannot overflow: `length` bytes from `offset` lie within `size`.
bool Fits(uint64_t size, uint64_t offset, uint64_t length)
{
    return offset <= size && length <= size - offset;
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

// False ends the walk: no local header here, or its name and extra field run past the end.
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
    entry.compressedSize = Read32(archive, at + kLocalCompressedSize);
    entry.uncompressedSize = Read32(archive, at + kLocalUncompressedSize);
    entry.name.assign(reinterpret_cast<const char*>(archive.data() + nameStart), nameLength);
    entry.zip64 = ApplyZip64Extra(archive.subspan(nameStart + nameLength, extraLength), {&entry.uncompressedSize, &entry.compressedSize});
    entry.dataStart = nameStart + nameLength + extraLength;
    return true;
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

// Read only when an entry with a data descriptor needs it; a damaged directory just yields fewer sizes.
CentralSizes ReadCentralSizes(Bytes archive)
{
    CentralSizes sizes;
    const std::optional<uint64_t> start = FindCentralDirectory(archive);
    if (!start)
        return sizes;
    for (uint64_t at = *start; Fits(archive.size(), at, kCentralHeaderSize) && Read32(archive, at) == kCentralHeaderSignature;) {
        const uint64_t extraStart = at + kCentralHeaderSize + Read16(archive, at + kCentralNameLength);
        const uint64_t extraLength = Read16(archive, at + kCentralExtraLength);
        const uint64_t commentLength = Read16(archive, at + kCentralCommentLength);
        if (!Fits(archive.size(), extraStart, extraLength + commentLength))
            break;
        EntrySizes entry{Read32(archive, at + kCentralCompressedSize), Read32(archive, at + kCentralUncompressedSize)};
        uint64_t localOffset = Read32(archive, at + kCentralLocalOffset);
        ApplyZip64Extra(archive.subspan(extraStart, extraLength), {&entry.uncompressed, &entry.compressed, &localOffset});
        sizes.emplace(localOffset, entry);
        at = extraStart + extraLength + commentLength;
    }
    return sizes;
}

// Behind the descriptor flag the local sizes are provisional: streamed writers leave them zero, and Info-ZIP
// into a pipe counts a stored encrypted entry without its 12-byte encryption header. The central directory's
// sizes win; without them the local ones serve unless zero. False when the entry's extent is unknown.
bool SettleDescriptorSizes(Bytes archive, uint64_t position, std::optional<CentralSizes>& central, LocalEntry& entry)
{
    if ((entry.flags & kFlagDescriptor) == 0)
        return true;
    if (!central)
        central = ReadCentralSizes(archive);
    const auto found = central->find(position);
    if (found == central->end())
        return entry.compressedSize != 0;
    entry.compressedSize = found->second.compressed;
    entry.uncompressedSize = found->second.uncompressed;
    return true;
}

uint64_t NextHeaderPosition(Bytes archive, uint64_t dataEnd, const LocalEntry& entry)
{
    if ((entry.flags & kFlagDescriptor) == 0)
        return dataEnd;
    uint64_t length = entry.zip64 ? kDescriptorBody64 : kDescriptorBody;
    if (HasSignature(archive, dataEnd, kDescriptorSignature))
        length += 4;
    return Fits(archive.size(), dataEnd, length) ? dataEnd + length : dataEnd;
}

// Natively std::filesystem would convert wide text through the C locale; UTF-8 needs none.
fs::path WidePath(const std::wstring& wide)
{
    if constexpr (sizeof(wchar_t) == 2) {
        return fs::path(wide);
    } else {
        const std::string utf8 = WideToUtf8(wide);
        return fs::path(std::u8string(utf8.begin(), utf8.end()));
    }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Windows opens these as devices in any folder and with any extension.
bool IsDeviceName(const std::string& part)
{
    std::string stem = part.substr(0, part.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" || stem == "CONOUT$")
        return true;
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' && stem[3] <= '9';
}

// Nothing for rooted, drive, stream, device and macOS metadata names, or ".." (Windows trims dots and spaces, so ".. " too).
std::optional<std::vector<std::string>> EntryPathParts(const std::string& name)
{
    if (name.empty() || IsSeparator(name.front()) || name.find_first_of(std::string(":\0", 2)) != std::string::npos)
        return std::nullopt;
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find_first_of("/\\", start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part.find_first_not_of(". ") == std::string::npos || IsDeviceName(part) || part == "__MACOSX")
            return std::nullopt;
        parts.push_back(std::move(part));
    }
    return parts;
}

bool MakeDirectories(const fs::path& path)
{
    std::error_code ec;
    if (fs::exists(path, ec))
        return true;
    fs::create_directories(path, ec);
    return fs::exists(path, ec);
}

// One write per file; a file that could not be written in full is removed, not left cut short.
bool WriteEntryFile(const fs::path& path, Bytes data)
{
    MakeDirectories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (out)
            return true;
    }
    std::error_code ec;
    fs::remove(path, ec);
    return false;
}

// Room for a deflated entry's output; nothing when its declared size is over the limit.
std::optional<uint64_t> InflateCapacity(const LocalEntry& entry)
{
    if (entry.uncompressedSize > kMaxEntryOutput)
        return std::nullopt;
    const uint64_t wanted = entry.uncompressedSize != 0 ? entry.uncompressedSize : entry.compressedSize * 4 + 1024;
    // DEFLATE cannot turn one input byte into more than 1032, so a lying header buys no more memory.
    return std::min({wanted, kMaxEntryOutput, (entry.compressedSize + 1) * kMaxDeflateRatio});
}

bool InflateEntry(const LocalEntry& entry, Bytes data, std::vector<uint8_t>& output)
{
    const std::optional<uint64_t> capacity = InflateCapacity(entry);
    if (!capacity)
        return false;
    try {
        output.assign(*capacity, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const int64_t produced = InflateRaw(data.data(), data.size(), output.data(), output.size());
    if (produced < 0)
        return false;
    output.resize(static_cast<size_t>(produced));
    return true;
}

// True when the entry produced a file; folders, skipped and failed entries do not count.
bool ExtractEntry(const fs::path& dest, const LocalEntry& entry, Bytes data)
{
    if ((entry.flags & kFlagEncrypted) != 0)
        return false;
    const std::optional<std::vector<std::string>> parts = EntryPathParts(entry.name);
    if (!parts || parts->empty())
        return false;
    fs::path target = dest;
    for (const std::string& part : *parts)
        target /= WidePath(Utf8ToWide(part));

    if (IsSeparator(entry.name.back())) {
        MakeDirectories(target);
        return false;
    }
    if (entry.method == kMethodStored)
        return WriteEntryFile(target, data);
    if (entry.method != kMethodDeflated)
        return false;
    std::vector<uint8_t> output;
    return InflateEntry(entry, data, output) && WriteEntryFile(target, output);
}

// The whole archive in one read; false when it is unreadable or over the size limit.
bool ReadArchive(const fs::path& path, std::vector<uint8_t>& bytes)
{
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxArchiveSize)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    try {
        bytes.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return static_cast<uintmax_t>(in.gcount()) == size;
}

} // namespace

// The central directory is read only for entries with a data descriptor, whose local sizes may be missing or wrong.
Outcome ExtractZip(const std::wstring& zipPath, const std::wstring& destDir)
{
    std::vector<uint8_t> buffer;
    if (!ReadArchive(WidePath(zipPath), buffer))
        return Failure(L"无法读取压缩包");
    CreateDirectoryTree(destDir);
    const fs::path dest = WidePath(destDir);
    const Bytes archive(buffer);

    std::optional<CentralSizes> central;
    int extracted = 0;
    LocalEntry entry;
    for (uint64_t position = 0; ReadLocalHeader(archive, position, entry);) {
        if (!SettleDescriptorSizes(archive, position, central, entry))
            break;
        if (!Fits(archive.size(), entry.dataStart, entry.compressedSize))
            break;
        const uint64_t dataEnd = entry.dataStart + entry.compressedSize;
        if (ExtractEntry(dest, entry, archive.subspan(entry.dataStart, entry.compressedSize)))
            ++extracted;
        position = NextHeaderPosition(archive, dataEnd, entry);
    }
    return extracted > 0 ? Success() : Failure(L"压缩包中没有可解压的文件");
}

// Anything already standing under that name counts as success, as a plain file does.
bool CreateDirectoryTree(const std::wstring& path)
{
    return path.empty() || MakeDirectories(WidePath(path));
}
