// A first prefix preparation stopped half-way, under Debian's real Wine (label `wine`), in a prefix
// of the test's own: the shared one must not be interrupted.
#include "Runtime/WineEnvironment.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/TorvexError.h"
#include "support/RealWine.h"
#include "support/ScopedVariable.h"
#include "support/TestSupport.h"
#include "support/WindowsProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The key names of a registry file ("[Software\\Wine] 1700000000" gives "Software\\Wine").
std::set<std::string> registryKeys(const fs::path& file) {
    std::set<std::string> keys;
    const std::string text = testing::readFile(file);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = std::string_view(text).substr(start, end - start);
        if (line.starts_with('[')) keys.emplace(line.substr(1, line.find(']') - 1));
        start = end + 1;
    }
    return keys;
}

std::size_t missingFrom(const std::set<std::string>& keys, const std::set<std::string>& reference) {
    std::size_t missing = 0;
    for (const auto& key : reference) missing += keys.count(key) == 0 ? 1 : 0;
    return missing;
}

TEST(WinePrefixPreparationWine, AStoppedFirstPreparationIsNotReadyLeavesNothingRunningAndIsRepairedInFull) {
    if (auto why = testing::RealWine::missing()) GTEST_SKIP() << *why;
    const fs::path reference = testing::RealWine::sharedPrefix() / "system.reg";
    if (!fs::exists(reference)) GTEST_SKIP() << "no complete prefix to compare with (run it through ctest)";
    const testing::TempDir temp;
    const testing::ScopedVariable display("DISPLAY", std::nullopt), debug("WINEDEBUG", "-all");
    const WineEnvironment wine{"/usr/bin", temp / "prefixes" / "interrupted", std::nullopt};
    const testing::WinePrefix guard(wine.prefix, temp / "scratch");  // ends what is left, whatever happens
    const std::string marked = "WINEPREFIX=" + wine.prefix.string();
    const auto prefixProcesses = [&] {
        return processesWithEnvironmentEntry([&](std::string_view entry) { return entry == marked; });
    };

    // Stopped once wineboot has begun to install the prefix: its first files are in system32.
    std::stop_source stop;
    std::jthread stopper([&](std::stop_token own) {
        const fs::path system32 = wine.prefix / "drive_c" / "windows" / "system32";
        for (int waited = 0; waited < 6000 && !own.stop_requested(); waited += 10) {
            std::error_code error;
            if (fs::directory_iterator(system32, error) != fs::directory_iterator()) break;
            std::this_thread::sleep_for(10ms);
        }
        stop.request_stop();
    });
    EXPECT_THROW(wine.ensurePrefix({}, stop.get_token()), Cancelled);
    EXPECT_FALSE(wine.isInitialized());
    EXPECT_TRUE(prefixProcesses().empty()) << "nothing may go on writing the prefix";
    const auto interrupted = registryKeys(wine.prefix / "system.reg");

    try {
        wine.ensurePrefix({});
    } catch (const TorvexError& error) {
        FAIL() << error.description();
    }
    ASSERT_TRUE(wine.isInitialized());
    const auto complete = registryKeys(reference), repaired = registryKeys(wine.prefix / "system.reg");
    EXPECT_GT(missingFrom(interrupted, complete), complete.size() / 10) << "the stop came too late to test anything";
    // A few keys depend on the machine or the moment (network cards, run entries).
    EXPECT_LT(missingFrom(repaired, complete), complete.size() / 100)
        << repaired.size() << " keys, against " << complete.size() << " of a complete preparation";
    EXPECT_TRUE(prefixProcesses().empty());
}

} // namespace
} // namespace torvex
