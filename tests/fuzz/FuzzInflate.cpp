#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "FuzzCheck.h"
#include "archive/Inflate.h"

namespace {


// Streams that need more room than this are not compared.
constexpr size_t kMaxOutput = 1 << 20;

enum class ZlibOutcome { Finished, InputEnded, SharedError, Other };

struct ZlibResult { ZlibOutcome outcome; size_t produced; };

// Errors both decoders must report; zlib's others concern incomplete codes, which InflateRaw accepts.
bool IsSharedError(const char* message)
{
    static const char* const shared[] = {"invalid block type", "invalid stored block lengths",
                                         "too many length or distance symbols", "invalid bit length repeat",
                                         "invalid distance too far back"};
    return message && std::any_of(std::begin(shared), std::end(shared), [&](const char* s) { return std::strcmp(s, message) == 0; });
}

ZlibResult ZlibInflate(const uint8_t* data, size_t size, uint8_t* out)
{
    z_stream z{};
    FUZZ_CHECK(inflateInit2(&z, -15) == Z_OK);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(kMaxOutput);
    const int rc = inflate(&z, Z_FINISH);
    ZlibResult result{ZlibOutcome::Other, z.total_out};
    if (rc == Z_STREAM_END)
        result.outcome = ZlibOutcome::Finished;
    else if (rc == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out != 0)
        result.outcome = ZlibOutcome::InputEnded;
    else if (rc == Z_DATA_ERROR && IsSharedError(z.msg))
        result.outcome = ZlibOutcome::SharedError;
    inflateEnd(&z);
    return result;
}

// Decodes into a heap block of exactly the capacity, so any write past it trips the sanitizer.
int64_t InflateExact(const uint8_t* data, size_t size, size_t capacity, std::unique_ptr<uint8_t[]>& out)
{
    out.reset(new uint8_t[capacity]);
    return InflateRaw(data, size, out.get(), capacity);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Allocated once: a fresh megabyte per input would dominate the run time.
    static uint8_t* const expected = new uint8_t[kMaxOutput];
    static uint8_t* const roomyOut = new uint8_t[kMaxOutput];
    const ZlibResult z = ZlibInflate(data, size, expected);

    const int64_t roomy = InflateRaw(data, size, roomyOut, kMaxOutput);
    FUZZ_CHECK(roomy >= -1 && roomy <= static_cast<int64_t>(kMaxOutput));
    if (z.outcome == ZlibOutcome::Finished) {
        FUZZ_CHECK(roomy == static_cast<int64_t>(z.produced));
        FUZZ_CHECK(std::memcmp(roomyOut, expected, z.produced) == 0);
    }
    if (z.outcome == ZlibOutcome::InputEnded || z.outcome == ZlibOutcome::SharedError)
        FUZZ_CHECK(roomy == -1);

    // With room for exactly what it produced it produces the same; with less it fails.
    std::unique_ptr<uint8_t[]> out;
    if (roomy >= 0) {
        const size_t produced = static_cast<size_t>(roomy);
        FUZZ_CHECK(InflateExact(data, size, produced, out) == roomy);
        FUZZ_CHECK(std::memcmp(out.get(), roomyOut, produced) == 0);
        if (produced > 0)
            FUZZ_CHECK(InflateExact(data, size, produced - 1, out) == -1);
    }

    for (size_t capacity : {0, 1, 2, 7, 64, 258, 1000}) {
        const int64_t r = InflateExact(data, size, capacity, out);
        // Less room can only make a stream fail, never change what it decodes to.
        FUZZ_CHECK(r == (roomy >= 0 && roomy <= static_cast<int64_t>(capacity) ? roomy : -1));
    }
    return 0;
}
