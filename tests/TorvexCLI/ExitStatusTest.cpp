#include "TorvexCLI/ExitStatus.h"
#include "TorvexCLI/Torvex.h"

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

TEST(ExitStatusTest, ALibrarysFileSystemErrorGetsTheWhatWhyFixForm) {
    namespace fs = std::filesystem;
    const auto error = [](const char* operation, int code, const char* path) {
        return fs::filesystem_error(operation, fs::path(path), std::error_code(code, std::generic_category()));
    };
    const struct {
        fs::filesystem_error error;
        TorvexError expected;
    } cases[] = {
        {error("cannot create a temporary file", EROFS, "/ro/x"),
         {TorvexError::Kind::generic, "Could not create a temporary file.", "/ro/x: Read-only file system.",
          "Torvex writes to a read-only file system there: make it writable, or set TORVEX_SUPPORT_DIR, "
          "TORVEX_CACHES_DIR and TORVEX_LOGS_DIR to writable folders."}},
        {error("cannot copy", ENOSPC, "/data/f"),
         {TorvexError::Kind::generic, "Could not copy.", "/data/f: No space left on device.",
          "Free up disk space, then try again."}},
        {error("cannot open", EACCES, "/etc/x"),
         {TorvexError::Kind::generic, "Could not open.", "/etc/x: Permission denied.",
          "Give yourself the right to write to /etc/x, then try again."}},
        {error("directory iterator cannot open directory", ENOENT, "/a b"),
         {TorvexError::Kind::generic, "Directory iterator cannot open directory.", "/a b: No such file or directory.",
          "Check /a b and the folder that holds it, then try again."}},
        {fs::filesystem_error("cannot get current path", std::error_code(ENOENT, std::generic_category())),
         {TorvexError::Kind::generic, "Could not get current path.", "No such file or directory.",
          "Check the folders Torvex uses, then try again."}},
    };
    for (const auto& c : cases) {
        const TorvexError made = fileSystemError(c.error);
        EXPECT_EQ(made.kind, c.expected.kind) << c.error.what();
        EXPECT_EQ(made.what, c.expected.what) << c.error.what();
        EXPECT_EQ(made.why, c.expected.why) << c.error.what();
        EXPECT_EQ(made.fix, c.expected.fix) << c.error.what();
    }
}
