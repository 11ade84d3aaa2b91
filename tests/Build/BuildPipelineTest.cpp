// The build's steps before any native code is compiled, and its duration text.

#include "Build/BuildPipeline.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "support/ArtifactServer.h"
#include "support/FakeFlutterSDK.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(BuildPipelineDuration, SecondsWithOneDecimalRoundedHalfToEven) {
    const struct {
        std::chrono::steady_clock::duration elapsed;
        const char* text;
    } cases[] = {
        {0s, "0.0 s"},
        {40ms, "0.0 s"},
        {50ms, "0.0 s"},  // half: to the even tenth
        {150ms, "0.2 s"},
        {250ms, "0.2 s"},
        {250ms + 1ns, "0.3 s"},
        {12340ms, "12.3 s"},
        {90s, "90.0 s"},  // no minutes
        {3725s, "3725.0 s"},
    };
    for (const auto& c : cases) EXPECT_EQ(BuildPipeline::durationText(c.elapsed), c.text);
}

// A project, an SDK and a toolchain that is found but never run: every build here ends at the
// engine download, which the loopback server refuses.
class BuildPipelineBeforeNativeCode : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProcessRunner::which("cmake") || !ProcessRunner::which("ninja")) {
            GTEST_SKIP() << "cmake and ninja are needed (apt-get install cmake ninja-build)";
        }
        fs::create_directories(temp / "projects");
        fs::copy(testing::sourceDir() / "examples" / "hello", project, fs::copy_options::recursive);
        ::unsetenv("FLUTTER_ROOT");
        ::setenv("TORVEX_CC", "/bin/true", 1);
        ::setenv("FLUTTER_STORAGE_BASE_URL", server.baseURL().c_str(), 1);
    }

    void installToolchain() {
        testing::writeFile(paths.toolchains() / "local" / "llvm-mingw" / "bin" / "x86_64-w64-mingw32-clang", "");
    }

    // The build's error and the lines it showed.
    std::pair<TorvexError, std::vector<std::string>> failedBuild(const std::string& flutterRoot) {
        std::vector<std::string> lines;
        const BuildPipeline pipeline{paths, [&](const std::string& line) { lines.push_back(line); }};
        TorvexError error =
            testing::errorOf([&] { pipeline.build(BuildRequest{project / "lib", std::nullopt, flutterRoot}); });
        return {std::move(error), lines};
    }

    testing::TempDir temp;
    testing::ArtifactServer server;
    TorvexPaths paths{temp / "Support", temp / "Caches", temp / "Logs"};
    fs::path project = temp / "projects" / "hello";
};

TEST_F(BuildPipelineBeforeNativeCode, AMissingToolchainEndsTheBuildBeforeItsFirstLineAndKeepsTheLastLog) {
    testing::makeFakeFlutterSDK(temp / "sdk");
    testing::writeFile(paths.logs / "build-hello.log", "the previous build\n");

    const auto [error, lines] = failedBuild((temp / "sdk").string());
    EXPECT_EQ(error.what, "The Windows build toolchain is not installed.");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(testing::readFile(paths.logs / "build-hello.log"), "the previous build\n");
}

TEST_F(BuildPipelineBeforeNativeCode, TheFirstLinesNameTheRequestedSDKsVersionAndWarnOutsideTheTestedRange) {
    installToolchain();
    const struct {
        std::optional<std::string> version;  // none: the SDK has no version file
        std::string shown;
        std::optional<std::string> warning;
    } cases[] = {
        {"3.47.0", "3.47.0", std::nullopt},
        {"3.24.0", "3.24.0",
         "Torvex: ⚠ Flutter 3.24.0 is older than Torvex supports (3.45–3.47). Continuing, but consider `flutter "
         "upgrade`."},
        {std::nullopt, "?", std::nullopt},
    };
    int count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        const fs::path sdk = temp / ("sdk " + std::to_string(++count));
        testing::makeFakeFlutterSDK(sdk, "abc123def4567890", "", c.version.value_or(""));
        if (!c.version) fs::remove(sdk / "bin" / "cache" / "flutter.version.json");

        const auto [error, lines] = failedBuild(sdk.string());
        EXPECT_EQ(error.what.find("Could not download"), 0u) << error.description();
        std::vector<std::string> expected = {"Torvex: building hello (Flutter " + c.shown + ", " +
                                             fs::canonical(project).string() + ")"};
        if (c.warning) expected.push_back(*c.warning);
        expected.push_back("Torvex: Downloading windows-x64-debug/windows-x64-flutter.zip");
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(testing::readFile(paths.logs / "build-hello.log").find(expected.front() + "\n"), 0u);
    }
}

} // namespace
} // namespace torvex
