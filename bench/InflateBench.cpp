// InflateRaw against zlib's raw inflate on the same 64 MB streams: real text, real binaries, random bytes.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "archive/Inflate.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kDataSize = 64 << 20;

bool HasExtension(const fs::path& path, std::initializer_list<const char*> extensions)
{
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* e) { return path.extension() == e; });
}

// Regular files under the roots, in sorted order so that a machine always measures the same bytes.
std::vector<fs::path> FilesUnder(std::initializer_list<const char*> roots)
{
    std::vector<fs::path> files;
    for (const char* root : roots) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end; it != end; it.increment(ec))
            if (it->is_regular_file(ec) && !it->is_symlink(ec))
                files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Whole files that `keep` accepts, concatenated to kDataSize; a machine with fewer repeats them,
// which changes nothing for a decoder whose window is 32 KB.
template <typename Keep>
Bytes Concatenate(std::initializer_list<const char*> roots, Keep keep)
{
    Bytes out;
    for (const fs::path& path : FilesUnder(roots)) {
        if (out.size() >= kDataSize)
            break;
        std::ifstream in(path, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (keep(path, file))
            out.insert(out.end(), file.begin(), file.end());
    }
    if (out.empty())
        return out;
    for (size_t i = 0; out.size() < kDataSize; ++i)
        out.push_back(out[i]);
    out.resize(kDataSize);
    return out;
}

// C and C++ headers, then source and documentation text shipped with the system.
Bytes Text()
{
    return Concatenate({"/usr/include", "/usr/share", "/usr/lib/python3"}, [](const fs::path& path, const Bytes&) {
        return HasExtension(path, {".h", ".hpp", ".txt", ".py", ".pm", ".pl", ".html", ".xml", ".js", ".md"});
    });
}

// Programs and shared libraries: ELF files, the bulk of an installation's bytes.
Bytes Binaries()
{
    return Concatenate({"/usr/bin", "/usr/lib"}, [](const fs::path&, const Bytes& file) {
        return file.size() > 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F';
    });
}

// Incompressible: zlib stores it, so this measures the stored-block path.
Bytes RandomBytes()
{
    uint64_t state = 3;
    Bytes out(kDataSize);
    for (uint8_t& b : out) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(state >> 56);
    }
    return out;
}

// Level 6, the default of zlib and of Info-ZIP's zip.
Bytes DeflateLevel6(const Bytes& data)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Sample {
    Bytes original;
    Bytes compressed;
};

Sample MakeSample(Bytes original)
{
    Bytes compressed = DeflateLevel6(original);
    return {std::move(original), std::move(compressed)};
}

enum Input { kText, kBinaries, kRandom };

// Built on first use, so that a filtered run gathers only what it measures.
const Sample& GetSample(Input which)
{
    switch (which) {
    case kText: {
        static const Sample text = MakeSample(Text());
        return text;
    }
    case kBinaries: {
        static const Sample binaries = MakeSample(Binaries());
        return binaries;
    }
    default: {
        static const Sample random = MakeSample(RandomBytes());
        return random;
    }
    }
}

int64_t ZlibInflate(const Bytes& compressed, Bytes& out)
{
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return rc == Z_STREAM_END ? static_cast<int64_t>(z.total_out) : -1;
}

int64_t OwnInflate(const Bytes& compressed, Bytes& out)
{
    return InflateRaw(compressed.data(), compressed.size(), out.data(), out.size());
}

// Throughput counts decoded bytes, as a reader of the archive sees it.
void RunDecoder(benchmark::State& state, Input which, int64_t (*Decode)(const Bytes&, Bytes&))
{
    const Sample& sample = GetSample(which);
    if (sample.original.empty()) {
        state.SkipWithError("no input files of this kind on this machine");
        return;
    }
    Bytes out(sample.original.size());
    if (Decode(sample.compressed, out) != static_cast<int64_t>(out.size()) || out != sample.original) {
        state.SkipWithError("decoded bytes differ from the original");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(Decode(sample.compressed, out));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
    state.counters["ratio"] = static_cast<double>(sample.compressed.size()) / static_cast<double>(out.size());
}

void BM_InflateRaw(benchmark::State& state, Input which)
{
    RunDecoder(state, which, OwnInflate);
}

void BM_ZlibInflate(benchmark::State& state, Input which)
{
    RunDecoder(state, which, ZlibInflate);
}

} // namespace

BENCHMARK_CAPTURE(BM_InflateRaw, Text, kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, Text, kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateRaw, Binaries, kBinaries)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, Binaries, kBinaries)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateRaw, Random, kRandom)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, Random, kRandom)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
