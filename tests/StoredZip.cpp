#include "StoredZip.h"

#include <cstdint>

namespace {

uint32_t Crc32(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Little-endian; widths past eight bytes are zero fill.
void PutLe(std::string& out, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xFF : 0));
}

}  // namespace

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string archive, central;
    for (const auto& [name, data] : files) {
        // From "version needed" to the name's length, the two headers agree.
        const auto shared = [&name, &data](std::string& out) {
            PutLe(out, 20, 2);
            PutLe(out, 0x0800, 2);  // UTF-8 names
            PutLe(out, 0, 6);       // stored, time, date
            PutLe(out, Crc32(data), 4);
            PutLe(out, data.size(), 4);
            PutLe(out, data.size(), 4);
            PutLe(out, name.size(), 2);
        };
        PutLe(central, 0x02014b50, 4);
        PutLe(central, 20, 2);
        shared(central);
        PutLe(central, 0, 12);  // extra, comment, disk, attributes
        PutLe(central, archive.size(), 4);
        central += name;
        PutLe(archive, 0x04034b50, 4);
        shared(archive);
        PutLe(archive, 0, 2);
        archive += name + data;
    }
    const uint64_t centralOffset = archive.size();
    archive += central;
    PutLe(archive, 0x06054b50, 4);
    PutLe(archive, 0, 4);
    PutLe(archive, files.size(), 2);
    PutLe(archive, files.size(), 2);
    PutLe(archive, central.size(), 4);
    PutLe(archive, centralOffset, 4);
    PutLe(archive, 0, 2);
    return archive;
}

