// The ctest fixture "real-wine": the one Wine prefix of a test run (see support/RealWine.h).
#include "support/RealWine.h"

#include <gtest/gtest.h>

#include <mutex>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::RealWine;

TEST(RealWinePrefix, Create) {
    if (auto why = RealWine::missing()) GTEST_SKIP() << *why;
    fs::remove_all(RealWine::sharedPrefix().parent_path());  // what an interrupted run left

    const RealWine real;
    const WineEnvironment wine = real.locate();
    EXPECT_FALSE(wine.isInitialized());
    std::mutex lock;
    std::vector<std::string> lines;
    const auto progress = [&](const std::string& line) {
        const std::lock_guard guard(lock);
        lines.push_back(line);
    };
    wine.ensurePrefix(progress);
    EXPECT_TRUE(wine.isInitialized());
    EXPECT_TRUE(fs::is_directory(wine.driveC() / "windows" / "system32"));
    wine.ensurePrefix(progress);
    EXPECT_EQ(lines, std::vector<std::string>{"Creating the Windows environment (first run only)\u2026"});
}

TEST(RealWinePrefix, Remove) {
    const fs::path prefix = RealWine::sharedPrefix();
    if (!fs::exists(prefix)) return;
    {
        const testing::TempDir scratch;
        const testing::WinePrefix wine(prefix, scratch.path());
    }  // its end ends the prefix's processes
    fs::remove_all(prefix.parent_path());
    EXPECT_FALSE(fs::exists(prefix));
}

} // namespace
} // namespace torvex
