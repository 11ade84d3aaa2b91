// The built torvex against the real torvex-host of the build-tree bundle, which it launches itself.
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The built torvex kept inside a fresh folder, launching the host of its own bundle, whose
// processes end with the test.
struct BundledTorvex {
    TempDir temp;
    TorvexProgram torvex{temp.path()};
    StateProcesses processes{torvex.socket(), torvex.support(), temp / "output"};

    BundledTorvex() { torvex.environment.erase("TORVEX_APP"); }
};

fs::path builtHost() { return builtBundle() / "Contents" / "MacOS" / "torvex-host"; }

// A copy of the built bundle's two programs in `folder`/Other.app, of version `version`.
fs::path bundleCopy(const fs::path& folder, const std::string& version) {
    const fs::path bundle = folder / "Other.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    writeInfoPlist(bundle, versionEntry(version));
    fs::copy_file(builtTorvex(), bundle / "Contents" / "MacOS" / "torvex");
    fs::copy_file(builtHost(), bundle / "Contents" / "MacOS" / "torvex-host");
    return bundle;
}

} // namespace

TEST(TorvexEndToEndTest, TheFirstRequestLaunchesTheBundlesHostWhichThenServesEveryOne) {
    BundledTorvex state;
    const SpawnResult before = state.torvex.run({"status"});
    EXPECT_EQ(before.out, "{\"status\":\"Torvex is not running\"}\n");
    EXPECT_TRUE(state.processes.hosts().empty()) << "status launched a host";

    const SpawnResult stopped = state.torvex.run({"stop"});
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    const auto hosts = state.processes.hosts();
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].executable, fs::canonical(builtHost()));
    EXPECT_FALSE(readFile(state.torvex.logs() / "torvex-host.log").empty());

    const SpawnResult status = state.torvex.run({"status"});
    ASSERT_EQ(status.status, 0) << status.err;
    const auto answer = nlohmann::json::parse(status.out, nullptr, false);
    EXPECT_EQ(answer.value("status", ""), "Idle") << status.out;
    EXPECT_EQ(answer.value("profile", ""), "default") << status.out;
    EXPECT_EQ(state.torvex.run({"stop"}).status, 0);
    const auto later = state.processes.hosts();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].identity, hosts[0].identity);

    EXPECT_TRUE(state.processes.stopHosts(20s));
    EXPECT_TRUE(state.processes.endLeftovers(5s).empty());
}

TEST(TorvexEndToEndTest, APipeOnTheOutputEndsWithTorvexWhileTheHostLivesOn) {
    BundledTorvex state;
    int pipeFDs[2];
    ASSERT_EQ(::pipe2(pipeFDs, O_CLOEXEC), 0);
    const pid_t pid = state.torvex.start({"stop"}, pipeFDs[1]);
    ::close(pipeFDs[1]);

    const auto output = readToEnd(pipeFDs[0], 30s);
    ::close(pipeFDs[0]);
    EXPECT_EQ(exitStatusWithin(pid, output ? 20s : 0s), 0);
    ASSERT_TRUE(output) << "the pipe stayed open after torvex";
    EXPECT_EQ(*output, "");
    const auto hosts = state.processes.hosts();
    ASSERT_EQ(hosts.size(), 1u) << "the host did not live on";
    EXPECT_TRUE(isSameProcessAlive(hosts[0].identity));
}

TEST(TorvexEndToEndTest, ABundleOfAnotherMajorVersionIsToldToUpdate) {
    struct Case {
        const char* name;
        bool copyAsks;  // the copy's torvex asks the built host; else the built torvex launches the copy's host
        const char* why;
    };
    const Case cases[] = {
        {"a torvex of another version", true, "The torvex CLI (9.0.0) and the Torvex host ("},
        {"a host of another version", false, ") and the Torvex host (9.0.0) don't match."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BundledTorvex state;
        const fs::path copy = bundleCopy(state.temp.path(), "9.0.0");
        TorvexProgram asking = state.torvex;
        if (c.copyAsks) {
            ASSERT_EQ(state.torvex.run({"stop"}).status, 0);  // the built host runs
            asking.program = copy / "Contents" / "MacOS" / "torvex";
        } else {
            asking.environment["TORVEX_APP"] = copy.string();
        }

        const SpawnResult result = asking.run({"stop"});
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err.starts_with("error: Update Torvex.\n")) << result.err;
        EXPECT_NE(result.err.find(c.why), std::string::npos) << result.err;
        const auto hosts = state.processes.hosts();
        ASSERT_EQ(hosts.size(), 1u);
        EXPECT_EQ(hosts[0].executable.parent_path().parent_path().parent_path(),
                  c.copyAsks ? fs::canonical(builtBundle()) : copy);
        EXPECT_TRUE(state.processes.stopHosts(20s));
    }
}

TEST(TorvexEndToEndTest, TheHostsRefusalOfANameWithEscapesIsShownEscaped) {
    BundledTorvex state;
    const SpawnResult result = state.torvex.run({"profile", "use", "x\x1B]0;TITLE\a\x1B[2J"});
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(result.err.starts_with("error: No profile named x\\u001B]0;TITLE\\u0007\\u001B[2J.\n")) << result.err;
    EXPECT_EQ(result.err.find('\x1B'), std::string::npos) << result.err;
    EXPECT_TRUE(state.processes.stopHosts(20s));
    EXPECT_TRUE(state.processes.endLeftovers(5s).empty());
}
