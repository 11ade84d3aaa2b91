#include "Build/Toolchain.h"

#include "Core/TorvexError.h"
#include "support/ScopedVariable.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::ScopedVariable;
using testing::TempDir;
using testing::errorOf;
using testing::writeFile;
using testing::writeScript;

bool fixedFoldersHold(const char* tool) {
    return fs::exists(fs::path("/opt/homebrew/bin") / tool) || fs::exists(fs::path("/usr/local/bin") / tool);
}

// support/toolchain/<name> with the clang driver and the listed executables below it.
void makeToolchain(const fs::path& support, const std::string& name, const std::vector<std::string>& tools) {
    writeScript(support / "toolchain" / name / "llvm-mingw/bin/x86_64-w64-mingw32-clang", "exit 0\n");
    for (const auto& tool : tools) writeScript(support / "toolchain" / name / tool, "exit 0\n");
}

struct Fixture {
    TempDir temp;
    TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
    fs::path exeDir = temp / "Torvex.app/Contents/MacOS";
    fs::path onPath = temp / "path-bin";

    Fixture() {
        writeScript(exeDir / "torvex-cc", "exit 0\n");
        fs::create_directories(onPath);
    }
    fs::path toolchain(const std::string& name) const { return paths.support / "toolchain" / name; }
};

TEST(ToolchainTest, ChoosesTheGreatestUsableFolderAndItsTools) {
    const std::vector<std::string> inFolder = {"cmake/bin/cmake", "bin/ninja"};
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::vector<std::string>>> folders;
        std::vector<std::string> brokenFolders;  // without the clang driver
        std::vector<std::string> pathTools;
        std::string version, cmake, ninja;  // relative to the chosen folder; "PATH/x" on PATH
    } cases[] = {
        {"newest by name", {{"2024-05", inFolder}, {"2024-06", inFolder}}, {"zz-broken"}, {},
         "2024-06", "cmake/bin/cmake", "bin/ninja"},
        {"string order, not numeric", {{"10", inFolder}, {"9", inFolder}}, {}, {}, "9", "cmake/bin/cmake", "bin/ninja"},
        {"CMake.app before cmake/bin", {{"v", {"cmake/CMake.app/Contents/bin/cmake", "cmake/bin/cmake", "bin/ninja"}}},
         {}, {"cmake"}, "v", "cmake/CMake.app/Contents/bin/cmake", "bin/ninja"},
        {"tools from PATH", {{"v", {}}}, {}, {"cmake", "ninja"}, "v", "PATH/cmake", "PATH/ninja"},
        {"hidden names count", {{".hidden", inFolder}, {"1", inFolder}}, {}, {}, "1", "cmake/bin/cmake", "bin/ninja"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        for (const auto& [name, tools] : c.folders) makeToolchain(f.paths.support, name, tools);
        for (const auto& name : c.brokenFolders) writeScript(f.toolchain(name) / "cmake/bin/cmake", "exit 0\n");
        for (const auto& tool : c.pathTools) writeScript(f.onPath / tool, "exit 0\n");
        const ScopedVariable path("PATH", f.onPath.string());

        const Toolchain toolchain = Toolchain::locate(f.paths, {}, f.exeDir);
        const auto expected = [&](const std::string& relative) {
            return relative.starts_with("PATH/") ? f.onPath / relative.substr(5) : f.toolchain(c.version) / relative;
        };
        EXPECT_EQ(toolchain.version, c.version);
        EXPECT_EQ(toolchain.mingwRoot, f.toolchain(c.version) / "llvm-mingw");
        EXPECT_EQ(toolchain.mingwBin(), f.toolchain(c.version) / "llvm-mingw/bin");
        EXPECT_EQ(toolchain.cmake, expected(c.cmake));
        EXPECT_EQ(toolchain.ninja, expected(c.ninja));
        EXPECT_EQ(toolchain.shim, f.exeDir / "torvex-cc");
        EXPECT_EQ(toolchain.fingerprint(), c.version + "|" + toolchain.mingwRoot.string() + "|" + toolchain.cmake.string() +
                                               "|" + toolchain.ninja.string() + "|" + toolchain.shim.string());
    }
}

TEST(ToolchainTest, ReportsWhatIsMissingInOrder) {
    const struct {
        const char* name;
        std::vector<std::string> tools;
        const char* skipWhenInstalled;
        std::string what, why, fix;
    } cases[] = {
        {"no CMake", {"bin/ninja"}, "cmake", "CMake was not found.", "It is not in the Torvex toolchain or on PATH.",
         "Run `torvex setup`, or install it with `apt-get install cmake`."},
        {"no Ninja, and a folder is not a tool", {"cmake/bin/cmake"}, "ninja", "Ninja was not found.",
         "It is not in the Torvex toolchain or on PATH.",
         "Run `torvex setup`, or install it with `apt-get install ninja-build`."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (fixedFoldersHold(c.skipWhenInstalled)) GTEST_SKIP() << c.skipWhenInstalled << " is in a fixed folder";
        Fixture f;
        makeToolchain(f.paths.support, "v", c.tools);
        fs::create_directories(f.toolchain("v") / "bin/ninja.d");
        fs::create_directories(f.onPath / "ninja");
        const ScopedVariable path("PATH", f.onPath.string());
        const auto error = errorOf([&] { Toolchain::locate(f.paths, {}, f.exeDir); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, c.what);
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(error.fix, c.fix);
    }
}

TEST(ToolchainTest, MissingToolchainNamesItsFolder) {
    Fixture f;
    writeScript(f.toolchain("broken") / "cmake/bin/cmake", "exit 0\n");
    for (int round = 0; round < 2; ++round) {
        const auto error = errorOf([&] { Toolchain::locate(f.paths, {}, f.exeDir); });
        EXPECT_EQ(error.what, "The Windows build toolchain is not installed.");
        EXPECT_EQ(error.why, "No llvm-mingw found in " + (f.paths.support / "toolchain").string() + ".");
        EXPECT_EQ(error.fix, "Run `torvex setup` to download it.");
        fs::remove_all(f.paths.support);  // a missing folder reads as empty
    }
}

TEST(ToolchainTest, FindsTheCompilerWrapper) {
    const struct {
        const char* name;
        bool beside, inHelpers;
        std::optional<std::string> given;  // TORVEX_CC, relative to the temporary folder
        std::optional<std::string> shim;   // none: error 4
        std::string expected;              // the chosen path or the one error 4 names
    } cases[] = {
        {"beside the executable", true, true, std::nullopt, "Torvex.app/Contents/MacOS/torvex-cc", ""},
        {"in ../Helpers", false, true, std::nullopt, "Torvex.app/Contents/Helpers/torvex-cc", ""},
        {"TORVEX_CC executable", true, true, "custom/cc", "custom/cc", ""},
        {"TORVEX_CC not executable", true, true, "custom/plain", std::nullopt, "custom/plain"},
        {"TORVEX_CC missing", true, true, "custom/none", std::nullopt, "custom/none"},
        {"neither candidate", false, false, std::nullopt, std::nullopt, "Torvex.app/Contents/MacOS/torvex-cc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
        makeToolchain(paths.support, "v", {"cmake/bin/cmake", "bin/ninja"});
        const fs::path exeDir = temp / "Torvex.app/Contents/MacOS";
        fs::create_directories(exeDir);
        if (c.beside) writeScript(exeDir / "torvex-cc", "exit 0\n");
        if (c.inHelpers) writeScript(temp / "Torvex.app/Contents/Helpers/torvex-cc", "exit 0\n");
        writeScript(temp / "custom/cc", "exit 0\n");
        writeFile(temp / "custom/plain", "not a program");
        Environment environment;
        if (c.given) environment["TORVEX_CC"] = (temp / *c.given).string();

        if (c.shim) {
            EXPECT_EQ(Toolchain::locate(paths, environment, exeDir).shim, temp / *c.shim);
            continue;
        }
        const auto error = errorOf([&] { Toolchain::locate(paths, environment, exeDir); });
        EXPECT_EQ(error.what, "torvex-cc is missing.");
        EXPECT_EQ(error.why, "Expected it at " + (temp / c.expected).string() + ".");
        EXPECT_EQ(error.fix, "Reinstall Torvex.");
    }
}

TEST(ToolchainTest, LooksBesideTheRunningProgram) {
    Fixture f;
    makeToolchain(f.paths.support, "v", {"cmake/bin/cmake", "bin/ninja"});
    const fs::path exeDir = fs::canonical("/proc/self/exe").parent_path();
    if (fs::exists(exeDir / "torvex-cc") || fs::exists(exeDir.parent_path() / "Helpers/torvex-cc")) {
        GTEST_SKIP() << "a wrapper lies beside the test program";
    }
    const auto error = errorOf([&] { Toolchain::locate(f.paths, {}); });
    EXPECT_EQ(error.why, "Expected it at " + (exeDir / "torvex-cc").string() + ".");
}

TEST(ToolchainTest, FingerprintFollowsTheChosenFolder) {
    Fixture f;
    makeToolchain(f.paths.support, "2024-05", {"cmake/bin/cmake", "bin/ninja"});
    const auto first = Toolchain::locate(f.paths, {}, f.exeDir);
    EXPECT_EQ(Toolchain::locate(f.paths, {}, f.exeDir).fingerprint(), first.fingerprint());

    makeToolchain(f.paths.support, "2024-06", {"cmake/bin/cmake", "bin/ninja"});
    const auto newer = Toolchain::locate(f.paths, {}, f.exeDir);
    EXPECT_EQ(newer.version, "2024-06");
    EXPECT_NE(newer.mingwRoot, first.mingwRoot);
    EXPECT_NE(newer.cmake, first.cmake);
    EXPECT_NE(newer.ninja, first.ninja);
    EXPECT_NE(newer.fingerprint(), first.fingerprint());
}

} // namespace
} // namespace torvex
