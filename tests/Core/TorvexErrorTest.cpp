#include "Core/TorvexError.h"

#include <gtest/gtest.h>

using torvex::TorvexError;
using Kind = TorvexError::Kind;

TEST(TorvexErrorTest, DescriptionJoinsTheThreePartsWithoutTrimming) {
    struct Case { std::string what, why, fix, expected; };
    const Case cases[] = {
        {"Oops", "", "", "Oops\n  Why: \n  Fix: "},
        {"Build failed.", "A plugin broke.", "Remove it.", "Build failed.\n  Why: A plugin broke.\n  Fix: Remove it."},
        {"Ends in a line feed\n", "two\nlines", " x ", "Ends in a line feed\n\n  Why: two\nlines\n  Fix:  x "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TorvexError(Kind::generic, c.what, c.why, c.fix).description(), c.expected) << c.what;
    }
    EXPECT_EQ(TorvexError(Kind::usage, "Oops", "", "").description().size(), 20u);
}

TEST(TorvexErrorTest, RawValuesMapBothWaysAndRejectOthers) {
    const std::pair<std::int32_t, std::optional<Kind>> cases[] = {
        {0, std::nullopt}, {-1, std::nullopt}, {6, std::nullopt},
        {INT32_MIN, std::nullopt}, {INT32_MAX, std::nullopt},
        {1, Kind::generic}, {2, Kind::usage}, {3, Kind::appNotRunning},
        {4, Kind::buildFailed}, {5, Kind::unsupported},
    };
    for (const auto& [raw, kind] : cases) {
        EXPECT_EQ(TorvexError::kindFromRawValue(raw), kind) << raw;
        if (kind) {
            EXPECT_EQ(TorvexError::rawValue(*kind), raw);
        }
    }
}
