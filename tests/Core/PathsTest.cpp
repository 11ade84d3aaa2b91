#include "Core/Paths.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using torvex::Environment;
using torvex::TorvexPaths;
namespace fs = std::filesystem;

TEST(PathsTest, RootsComeFromTheirVariablesOrTheHomeDefaults) {
    const fs::path home = "/home/ada";
    const fs::path cwd = "/work/here";
    const fs::path support = home / "Library/Application Support/Torvex";
    const fs::path caches = home / "Library/Caches/Torvex";
    const fs::path logs = home / "Library/Logs/Torvex";
    struct Case { const char* name; Environment environment; TorvexPaths expected; };
    const Case cases[] = {
        {"none set", {}, {support, caches, logs}},
        {"empty counts as unset", {{"TORVEX_CACHES_DIR", ""}}, {support, caches, logs}},
        {"only logs", {{"TORVEX_LOGS_DIR", "/var/log/t"}}, {support, caches, "/var/log/t"}},
        {"tilde not expanded, relative to cwd", {{"TORVEX_SUPPORT_DIR", "~/x"}}, {cwd / "~/x", caches, logs}},
        {"all three", {{"TORVEX_SUPPORT_DIR", "/s"}, {"TORVEX_CACHES_DIR", "/c"}, {"TORVEX_LOGS_DIR", " /l"}},
         {"/s", "/c", cwd / " /l"}},
    };
    for (const auto& c : cases) {
        const auto paths = TorvexPaths::resolve(c.environment, home, cwd);
        EXPECT_EQ(paths.support, c.expected.support) << c.name;
        EXPECT_EQ(paths.caches, c.expected.caches) << c.name;
        EXPECT_EQ(paths.logs, c.expected.logs) << c.name;
    }
}

TEST(PathsTest, DerivedFoldersAreNamedAndNeverCreated) {
    const torvex::testing::TempDir dir;
    const TorvexPaths paths{dir / "s", dir / "c", dir / "l"};
    EXPECT_EQ(paths.builds(), dir / "c" / "builds");
    EXPECT_EQ(paths.toolchains(), dir / "s" / "toolchain");
    EXPECT_EQ(paths.engineCache(), dir / "s" / "engine");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}
