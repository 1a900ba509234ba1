#include "WholeFile.h"

#include <fstream>
#include <iterator>

// Byte mode, no newline translation; a file that cannot be read (missing, locked, a folder)
// reads as empty. The stream may throw on a folder, so the read is guarded.
std::string ReadWholeFile(const std::filesystem::path& path)
{
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) return {};
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (...) {
        return {};
    }
}

// Callers post their success lines regardless, so failures are swallowed here.
void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes)
{
    try {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    } catch (...) {
    }
}
