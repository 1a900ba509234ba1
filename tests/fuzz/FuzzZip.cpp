#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "FuzzCheck.h"
#include "archive/Zip.h"

namespace fs = std::filesystem;

namespace {


// One folder per process; the destination sits three levels down so that short ".." climbs
// still land where the walk below can see them.
const fs::path& Scratch()
{
    static const fs::path scratch = fs::temp_directory_path() / ("fuzz-zip-" + std::to_string(std::random_device{}()));
    return scratch;
}

bool IsWithin(const fs::path& path, const fs::path& dir)
{
    const fs::path relative = path.lexically_relative(dir);
    return !relative.empty() && *relative.begin() != "..";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fs::path zip = Scratch() / "in.zip";
    const fs::path top = Scratch() / "x";
    const fs::path dest = top / "y" / "out";
    fs::remove_all(Scratch());
    fs::create_directories(Scratch());
    std::ofstream(zip, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    const ExtractReport report = ExtractZip(zip.wstring(), dest.wstring());
    // Small and readable: at worst an archive without its end record.
    FUZZ_CHECK(report.archive || report.archive.error == L"压缩包不完整");

    size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(Scratch())) {
        const bool isFolderOnTheWay = item.path() == top || item.path() == top / "y";
        FUZZ_CHECK(item.path() == zip || isFolderOnTheWay || IsWithin(item.path(), dest));
        FUZZ_CHECK(!item.is_symlink());
        files += item.is_regular_file() && item.path() != zip;
    }
    // A later entry may write over an earlier one's file, but no file comes from nowhere.
    FUZZ_CHECK((report.filesWritten > 0) == (files > 0));
    FUZZ_CHECK(files <= static_cast<size_t>(report.filesWritten));
    // Each written or failed entry has a local header (30 bytes) or a central one (46) of its own.
    FUZZ_CHECK(static_cast<size_t>(report.filesWritten) + report.failures.size() <= size / 30 + size / 46);
    for (const EntryFailure& failure : report.failures) {
        FUZZ_CHECK(failure.name.empty() || (failure.name.back() != '/' && failure.name.back() != '\\'));
        FUZZ_CHECK(!EntryProblemText(failure.problem).empty());
    }

    std::error_code ec;
    fs::remove_all(Scratch(), ec);
    return 0;
}
