// Replays saved fuzz inputs through LLVMFuzzerTestOneInput when libFuzzer is not linked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A target that finds a fault aborts, so reaching the end of a file counts as a pass.
bool RunFile(const std::filesystem::path& path)
{
    std::vector<uint8_t> bytes;
    if (!ReadBytes(path, bytes)) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
        return 2;
    }

    size_t passed = 0;
    size_t failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (!std::filesystem::is_directory(arg, ec)) {
            (RunFile(arg) ? passed : failed)++;
            continue;
        }
        // Sorted so a run is reproducible regardless of directory order.
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(arg, ec))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        if (ec) {
            std::fprintf(stderr, "cannot list %s\n", arg.string().c_str());
            ++failed;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
            (RunFile(file) ? passed : failed)++;
    }

    std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(passed), static_cast<unsigned long long>(failed));
    return failed == 0 ? 0 : 1;
}
