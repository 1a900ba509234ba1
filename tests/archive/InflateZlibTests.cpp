#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "archive/Inflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Small deterministic generator so every run compresses the same data.
struct Prng { uint64_t state; };

uint32_t Next(Prng& p)
{
    p.state = p.state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(p.state >> 33);
}

Bytes TextLike(size_t size)
{
    static const char* const words[] = {"the", "installer", "unpacks", "archive", "into", "its", "folder", "and", "writes",
                                        "configuration", "for", "agent", "gateway", "node", "skills", "a", "of", "npm"};
    Prng p{7};
    Bytes out;
    while (out.size() < size) {
        const char* word = words[Next(p) % (sizeof words / sizeof words[0])];
        out.insert(out.end(), word, word + std::strlen(word));
        const uint32_t r = Next(p) % 16;
        out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
    }
    out.resize(size);
    return out;
}

// Fixed-size records with counters, small fields and zero padding, like a table in an executable.
Bytes BinaryLike(size_t size)
{
    Prng p{11};
    Bytes out;
    for (uint32_t i = 0; out.size() < size; ++i) {
        const uint32_t fields[4] = {i, 0x00401000u + i * 16, Next(p) % 64, 0};
        for (uint32_t f : fields)
            for (int b = 0; b < 4; ++b)
                out.push_back(static_cast<uint8_t>(f >> (8 * b)));
    }
    out.resize(size);
    return out;
}

Bytes RandomBytes(size_t size, uint64_t seed)
{
    Prng p{seed};
    Bytes out(size);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(Next(p) >> 23);
    return out;
}

// Repeats a 40 KB random block so that matches reach close to the 32 KB window limit.
Bytes FarRepeats()
{
    Bytes block = RandomBytes(40000, 5);
    Bytes out = block;
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

struct Dataset { const char* name; Bytes data; };

const std::vector<Dataset>& Datasets()
{
    static const std::vector<Dataset> sets = {
        {"Empty", {}},
        {"OneByte", {'q'}},
        {"Text", TextLike(200000)},
        {"Binary", BinaryLike(100000)},
        {"Random", RandomBytes(65536, 3)},
        {"RunOf1MB", Bytes(1 << 20, 'z')},
        {"FarRepeats", FarRepeats()},
    };
    return sets;
}

struct Config { const char* name; int level; int strategy; int windowBits; int memLevel; };

const Config kConfigs[] = {
    {"Level0", 0, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level1", 1, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level2", 2, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level3", 3, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level4", 4, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level5", 5, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level6", 6, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level7", 7, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level8", 8, Z_DEFAULT_STRATEGY, -15, 8},
    {"Level9", 9, Z_DEFAULT_STRATEGY, -15, 8},
    {"Default", Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, -15, 8},
    {"Filtered", 6, Z_FILTERED, -15, 8},
    {"HuffmanOnly", 6, Z_HUFFMAN_ONLY, -15, 8},
    {"Rle", 6, Z_RLE, -15, 8},
    {"Fixed", 6, Z_FIXED, -15, 8},
    {"FixedLevel9", 9, Z_FIXED, -15, 9},
    {"SmallWindowMemLevel1", 6, Z_DEFAULT_STRATEGY, -9, 1},
};

// Raw deflate; when flushEvery is set, the input goes in pieces of that size, each followed by flush.
Bytes Deflate(const Bytes& data, const Config& c, size_t flushEvery = 0, int flush = Z_NO_FLUSH)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, c.level, Z_DEFLATED, c.windowBits, c.memLevel, c.strategy), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64 + (flushEvery ? data.size() / flushEvery * 16 : 0));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t fed = 0;
    int rc = Z_OK;
    do {
        const size_t piece = flushEvery ? std::min(flushEvery, data.size() - fed) : data.size() - fed;
        z.next_in = const_cast<Bytef*>(data.data() + fed);
        z.avail_in = static_cast<uInt>(piece);
        fed += piece;
        rc = deflate(&z, fed == data.size() ? Z_FINISH : flush);
    } while (rc == Z_OK && fed < data.size());
    EXPECT_EQ(rc, Z_STREAM_END) << "deflate did not finish";
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Decodes into an allocation of exactly the capacity and returns InflateRaw's result; fills output on success.
int64_t Inflate(const Bytes& stream, size_t capacity, Bytes* output = nullptr)
{
    Bytes out(capacity);
    const int64_t r = InflateRaw(stream.data(), stream.size(), out.data(), out.size());
    if (output && r >= 0)
        output->assign(out.begin(), out.begin() + r);
    return r;
}

void ExpectSameAsOriginal(const Bytes& stream, const Bytes& data)
{
    Bytes output;
    ASSERT_EQ(Inflate(stream, data.size(), &output), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(output == data) << "decoded bytes differ";
    if (!data.empty()) {
        EXPECT_EQ(Inflate(stream, data.size() - 1), -1) << "one byte short of room";
    }
    const Bytes cut(stream.begin(), stream.end() - 1);
    EXPECT_EQ(Inflate(cut, data.size()), -1) << "last byte missing";
}

class ZlibStreams : public testing::TestWithParam<std::tuple<Config, size_t>> {};

TEST_P(ZlibStreams, DecodeByteExact)
{
    const auto& [config, dataIndex] = GetParam();
    const Bytes& data = Datasets()[dataIndex].data;
    ExpectSameAsOriginal(Deflate(data, config), data);
}

INSTANTIATE_TEST_SUITE_P(AllLevelsAndStrategies, ZlibStreams,
                         testing::Combine(testing::ValuesIn(kConfigs), testing::Range<size_t>(0, 7)),
                         [](const testing::TestParamInfo<ZlibStreams::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + Datasets()[std::get<1>(info.param)].name;
                         });

// Flushes put empty stored blocks, byte alignments and block ends in the middle of the data.
TEST(ZlibFlushedStreams, DecodeByteExact)
{
    struct Row { int flush; size_t every; const char* reason; };
    const Row rows[] = {
        {Z_SYNC_FLUSH, 1000, "empty stored block after every kilobyte"},
        {Z_FULL_FLUSH, 777, "full flush resets matching at odd offsets"},
        {Z_PARTIAL_FLUSH, 500, "empty fixed blocks between data blocks"},
        {Z_BLOCK, 300, "block ends not on a byte boundary"},
        {Z_SYNC_FLUSH, 1, "a flush after every byte"},
    };
    const Bytes data = TextLike(20000);
    for (const Row& row : rows)
        for (int level : {0, 1, 6}) {
            SCOPED_TRACE(std::string(row.reason) + ", level " + std::to_string(level));
            const Config c{"", level, Z_DEFAULT_STRATEGY, -15, 8};
            ExpectSameAsOriginal(Deflate(data, c, row.every, row.flush), data);
        }
}

// Level and strategy changed between pieces, so one stream mixes stored, fixed and dynamic blocks.
TEST(ZlibFlushedStreams, ParameterChangesMidStream)
{
    const Bytes data = TextLike(60000);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, data.size()) * 2 + 1024);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int params[][2] = {{6, Z_DEFAULT_STRATEGY}, {0, Z_DEFAULT_STRATEGY}, {1, Z_FIXED}, {9, Z_HUFFMAN_ONLY}, {3, Z_RLE}, {9, Z_FILTERED}};
    const size_t piece = data.size() / 6;
    for (size_t i = 0; i < 6; ++i) {
        ASSERT_EQ(deflateParams(&z, params[i][0], params[i][1]), Z_OK);
        z.next_in = const_cast<Bytef*>(data.data() + i * piece);
        z.avail_in = static_cast<uInt>(i == 5 ? data.size() - i * piece : piece);
        ASSERT_EQ(deflate(&z, i == 5 ? Z_FINISH : Z_NO_FLUSH), i == 5 ? Z_STREAM_END : Z_OK);
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    ExpectSameAsOriginal(out, data);
}

enum class ZlibOutcome { Finished, InputEnded, Error };

struct ZlibResult { ZlibOutcome outcome; Bytes output; std::string message; };

// zlib's raw inflate over the whole input with room for the whole output.
ZlibResult ZlibInflate(const Bytes& stream, size_t maxOutput)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out(maxOutput);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    ZlibResult result{ZlibOutcome::Error, {}, z.msg ? z.msg : ""};
    if (rc == Z_STREAM_END) {
        result.outcome = ZlibOutcome::Finished;
        out.resize(z.total_out);
        result.output = out;
    } else if (rc == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out != 0) {
        result.outcome = ZlibOutcome::InputEnded;
    }
    inflateEnd(&z);
    return result;
}

// Errors both decoders must report; zlib's other errors are for incomplete codes, which this decoder accepts.
bool IsSharedError(const std::string& message)
{
    return message == "invalid block type" || message == "invalid stored block lengths" ||
           message == "too many length or distance symbols" || message == "invalid bit length repeat" ||
           message == "invalid distance too far back";
}

// Room for the damaged streams; one that needs more is a zlib error and goes uncompared.
constexpr size_t kMutatedRoom = 1 << 15;

void Mutate(Bytes& stream, Prng& p)
{
    switch (Next(p) % 4) {
    case 0:
        stream[Next(p) % stream.size()] ^= static_cast<uint8_t>(1u << (Next(p) % 8));
        break;
    case 1:
        stream[Next(p) % stream.size()] = static_cast<uint8_t>(Next(p));
        break;
    case 2:
        stream.resize(Next(p) % stream.size());
        break;
    default:
        stream.insert(stream.begin() + Next(p) % stream.size(), static_cast<uint8_t>(Next(p)));
        break;
    }
}

// Damaged zlib streams: whatever zlib decodes completely must come out the same; whatever it finds
// truncated or invalid in a way this decoder also checks must fail.
TEST(ZlibDifferential, MutatedStreamsAgree)
{
    const Config configs[] = {kConfigs[0], kConfigs[1], kConfigs[6], kConfigs[12], kConfigs[14]};
    const Bytes data = TextLike(3000);
    Prng p{99};
    int finished = 0;
    int rejected = 0;
    for (const Config& c : configs) {
        const Bytes original = Deflate(data, c);
        for (int round = 0; round < 1500; ++round) {
            Bytes stream = original;
            for (uint32_t m = Next(p) % 3 + 1; m > 0 && !stream.empty(); --m)
                Mutate(stream, p);
            const ZlibResult z = ZlibInflate(stream, kMutatedRoom);
            Bytes output;
            const int64_t ours = Inflate(stream, kMutatedRoom, &output);
            if (z.outcome == ZlibOutcome::Finished) {
                ++finished;
                ASSERT_EQ(ours, static_cast<int64_t>(z.output.size())) << c.name << " round " << round;
                ASSERT_TRUE(output == z.output) << c.name << " round " << round;
            } else if (z.outcome == ZlibOutcome::InputEnded || IsSharedError(z.message)) {
                ++rejected;
                ASSERT_EQ(ours, -1) << c.name << " round " << round << ": zlib says " << z.message;
            }
        }
    }
    RecordProperty("finished", finished);
    RecordProperty("rejected", rejected);
    EXPECT_GT(finished, 100) << "too few mutated streams decoded to compare anything";
    EXPECT_GT(rejected, 1000) << "too few mutated streams rejected to compare anything";
}

} // namespace
