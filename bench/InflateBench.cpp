#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/Inflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kDataSize = 4 << 20;

uint32_t Next(uint64_t& state)
{
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
}

// Words, spaces and line breaks, compressing about as well as source text or logs.
Bytes TextLike()
{
    static const char* const words[] = {"the", "installer", "unpacks", "archive", "into", "its", "folder", "and",
                                        "writes", "configuration", "for", "agent", "gateway", "node", "skills", "a",
                                        "of", "npm", "module", "exports", "function", "return", "const", "require"};
    uint64_t state = 7;
    Bytes out;
    while (out.size() < kDataSize) {
        const char* word = words[Next(state) % (sizeof words / sizeof words[0])];
        out.insert(out.end(), word, word + std::strlen(word));
        out.push_back(Next(state) % 12 == 0 ? '\n' : ' ');
    }
    out.resize(kDataSize);
    return out;
}

// Incompressible bytes: zlib stores them, so this measures the stored-block path.
Bytes RandomBytes()
{
    uint64_t state = 3;
    Bytes out(kDataSize);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(Next(state) >> 23);
    return out;
}

// Random letters: Huffman-coded literals with few matches, the slowest case for bit-at-a-time decoding.
Bytes RandomLetters()
{
    uint64_t state = 5;
    Bytes out(kDataSize);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>('a' + Next(state) % 26);
    return out;
}

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

struct Sample { Bytes original; Bytes compressed; };

const Sample& GetSample(int which)
{
    static const Sample samples[] = {
        {TextLike(), DeflateLevel6(TextLike())},
        {RandomBytes(), DeflateLevel6(RandomBytes())},
        {RandomLetters(), DeflateLevel6(RandomLetters())},
    };
    return samples[which];
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

void RunDecoder(benchmark::State& state, int which, int64_t (*Decode)(const Bytes&, Bytes&))
{
    const Sample& sample = GetSample(which);
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

void BM_InflateRaw(benchmark::State& state, int which)
{
    RunDecoder(state, which, OwnInflate);
}

void BM_ZlibInflate(benchmark::State& state, int which)
{
    RunDecoder(state, which, ZlibInflate);
}

} // namespace

BENCHMARK_CAPTURE(BM_InflateRaw, Text, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, Text, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateRaw, RandomBytes, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, RandomBytes, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateRaw, RandomLetters, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, RandomLetters, 2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
