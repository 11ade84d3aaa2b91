#include "TorvexCLI/ExitStatus.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::cli;

TEST(ExitStatusTest, RunResultsBecomeTheStatusTheParentSees) {
    const std::pair<std::optional<std::string>, int> cases[] = {
        {std::nullopt, 0}, {"", 0},      {"0", 0},           {"3", 3},     {"+3", 3},    {" 3", 0},
        {"3 ", 0},         {"3x", 0},    {"255", 255},       {"-1", 255},  {"-255", 1},  {"256", 1},
        {"-256", 1},       {"512", 1},   {"257", 1},         {"143", 143}, {"2147483647", 255},
        {"2147483648", 0}, {"-2147483648", 1},
    };
    for (const auto& [result, status] : cases) EXPECT_EQ(runExitStatus(result), status) << result.value_or("(none)");
}

TEST(ExitStatusTest, TheErrorRuleTurnsAKindIntoItsStatus) {
    for (const auto kind : {TorvexError::Kind::generic, TorvexError::Kind::usage, TorvexError::Kind::appNotRunning,
                            TorvexError::Kind::buildFailed, TorvexError::Kind::unsupported}) {
        try {
            withErrorRule([&] { throw TorvexError(kind, "w", "", ""); });
            ADD_FAILURE() << "nothing thrown";
        } catch (const ExitCode& exit) {
            EXPECT_EQ(exit.status, TorvexError::rawValue(kind));
        }
    }
    EXPECT_THROW(withErrorRule([] { throw ExitCode{7}; }), ExitCode);
    EXPECT_THROW(withErrorRule([] { throw std::runtime_error("disk"); }), std::runtime_error);
}
