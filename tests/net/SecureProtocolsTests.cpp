#include <gtest/gtest.h>

#include <vector>

#include "net/SecureProtocols.h"

namespace {

TEST(ChooseSecureProtocols, FallsBackToTls12AloneAndNeverBelow)
{
    constexpr uint32_t kBoth = kProtocolTls12 | kProtocolTls13;
    struct Row {
        bool knowsTls13;
        bool knowsTls12;
        uint32_t chosen;
        std::vector<uint32_t> offered;
        const char* why;
    } rows[] = {
        {true, true, kBoth, {kBoth}, "Windows 11 and Server 2022 take both at the first offer"},
        {false, true, kProtocolTls12, {kBoth, kProtocolTls12}, "older Windows refuses the 1.3 flag: 1.2 alone"},
        {false, false, 0, {kBoth, kProtocolTls12}, "no TLS 1.2 either: nothing chosen, never the defaults"},
    };
    for (const Row& row : rows) {
        std::vector<uint32_t> offered;
        const uint32_t chosen = ChooseSecureProtocols([&](uint32_t protocols) {
            offered.push_back(protocols);
            return (row.knowsTls13 || !(protocols & kProtocolTls13)) && row.knowsTls12;
        });
        EXPECT_EQ(chosen, row.chosen) << row.why;
        EXPECT_EQ(offered, row.offered) << row.why;
    }
}

}  // namespace
