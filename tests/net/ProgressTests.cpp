#include <gtest/gtest.h>

#include "net/Progress.h"

namespace {

TEST(FormatSize, UnitBoundariesAndRounding)
{
    struct Row {
        int64_t bytes;
        const wchar_t* text;
        const char* why;
    } rows[] = {
        {0, L"0 B", "zero"},
        {1023, L"1023 B", "last byte count"},
        {1024, L"1.0 KB", "first kilobyte"},
        {1536, L"1.5 KB", "one decimal"},
        {1048575, L"1024.0 KB", "rounds up inside the smaller unit"},
        {1048576, L"1.0 MB", "first megabyte"},
        {1073741823, L"1024.0 MB", "rounds up inside the smaller unit"},
        {1073741824, L"1.00 GB", "gigabytes have two decimals"},
        {2523293860LL, L"2.35 GB", "two decimals rounded"},
        {-1, L"-1 B", "negative counts stay bytes"},
        {-5000, L"-5000 B", "large negative counts stay bytes"},
        {INT64_MAX, L"8589934592.00 GB", "the largest count still fits"},
    };
    for (const Row& row : rows) EXPECT_EQ(FormatSize(row.bytes), row.text) << row.why;
}

TEST(ProgressLines, PackageAndSkillShapes)
{
    struct Row {
        int64_t done;
        int64_t total;
        int64_t received;
        uint32_t elapsedMs;
        const wchar_t* package;
        const wchar_t* skill;
        const char* why;
    } rows[] = {
        {16384, 65536, 16384, 0, L"16.0 KB / 64.0 KB (25%)  0.0 MB/s", L"16.0 KB / 64.0 KB  0.0 MB/s", "same tick: speed 0"},
        {1048576, 2097152, 1048576, 500, L"1.0 MB / 2.0 MB (50%)  2.0 MB/s", L"1.0 MB / 2.0 MB  2.0 MB/s", "average speed"},
        {1572864, 2097152, 524288, 1000, L"1.5 MB / 2.0 MB (75%)  0.5 MB/s", L"1.5 MB / 2.0 MB  0.5 MB/s",
         "resumed: the bytes kept from the earlier attempt are not this attempt's speed"},
        {999, 1000, 999, 1000, L"999 B / 1000 B (99%)  0.0 MB/s", L"999 B / 1000 B  0.0 MB/s", "percent truncates"},
        {3000, 1000, 3000, 1000, L"2.9 KB / 1000 B (300%)  0.0 MB/s", L"2.9 KB / 1000 B  0.0 MB/s", "not clamped"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PackageProgressLine(row.done, row.total, row.received, row.elapsedMs), row.package) << row.why;
        EXPECT_EQ(SkillProgressLine(row.done, row.total, row.received, row.elapsedMs), row.skill) << row.why;
    }
}

TEST(ProgressLines, SpeedAcrossTickWrapAroundUsesTheUnsignedDifference)
{
    const uint32_t start = 0xFFFFFC18u;  // 1000 ms before the counter wraps
    const uint32_t now = 1000u;
    EXPECT_DOUBLE_EQ(AverageSpeedMBps(2097152, now - start), 1.0);
}

}  // namespace
