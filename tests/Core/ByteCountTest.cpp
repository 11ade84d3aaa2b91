#include "Core/ByteCount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using namespace torvex;

TEST(ByteCountTest, DecimalUnitsWithTheirDecimalsAndNoTrailingZeros) {
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {314051, "314 KB"},
        {999'499, "999 KB"},
        {999'500, "1 MB"},  // rounding up crosses into the next unit
        {2'793'443, "2.8 MB"},
        {79'954'716, "80 MB"},
        {124'415'944, "124.4 MB"},
        {4'999'999'999, "5 GB"},
        {5'000'000'000, "5 GB"},
        {78'469'936'000, "78.47 GB"},
        {1'250'000'000'000, "1.25 TB"},
        {std::numeric_limits<std::int64_t>::max(), "9.22 EB"},
        {-2048, "-2 KB"},
    };
    for (const auto& c : cases) EXPECT_EQ(formattedByteCount(c.bytes), c.text) << c.bytes;
}
