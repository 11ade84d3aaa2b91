#include "Build/BuildPipeline.h"
#include "Build/GeneratedFiles.h"
#include "Build/SDKHeaderOverlay.h"

#include "Core/ProcessRunner.h"
#include "support/ScopedVariable.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::ScopedVariable;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// Modification time in nanoseconds of the entry itself (links not followed).
long long stamp(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return -1;
    return info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
}

TEST(GeneratedFiles, FixedTexts) {
    EXPECT_EQ(lines(GeneratedFiles::rulesOverride).size(), 3u);
    EXPECT_EQ(GeneratedFiles::defaultLibraries(),
              "-lsynchronization -lshlwapi -lshcore -lversion -lws2_32 -liphlpapi -ldwmapi -luxtheme -lcomctl32 "
              "-lpropsys -lbcrypt -lcrypt32 -lwinhttp -lsetupapi -lwindowscodecs -ldxgi -ld3d11");
    EXPECT_EQ(GeneratedFiles::fallbackHeaders(),
              (std::map<std::string, std::string>{{"shobjidl_core.h", "#pragma once\n#include <shobjidl.h>\n"}}));
    for (const std::string* text : {&GeneratedFiles::compatHeader, &GeneratedFiles::rulesOverride})
        EXPECT_EQ(text->back(), '\n');
}

TEST(GeneratedFiles, ToolchainFileQuotesPathsWithSpaces) {
    const fs::path tools = "/home/u/Library/Caches/Torvex/builds/0123/tools/";
    const std::string text = GeneratedFiles::toolchainFile(
        tools, "/home/u/Library/Application Support/Torvex/toolchain/1/llvm-mingw", tools / "msvc-compat.h",
        tools / "fallback-include", tools / "sdk-headers.yaml", tools / "rules-override.cmake",
        {"/home/u/Library/Caches/Torvex/builds/0123", "/home/u/.pub-cache"});
    const auto all = lines(text);
    ASSERT_EQ(all.size(), 35u);
    EXPECT_EQ(text.back(), '\n');
    const std::map<size_t, std::string> expected = {
        {6, R"(set(CMAKE_C_COMPILER "/home/u/Library/Caches/Torvex/builds/0123/tools/shim-clang"))"},
        {12, R"(set(CMAKE_AR "/home/u/Library/Application Support/Torvex/toolchain/1/llvm-mingw/bin/llvm-ar" CACHE FILEPATH ""))"},
        {15, R"(set(CMAKE_FIND_ROOT_PATH "/home/u/Library/Application Support/Torvex/toolchain/1/llvm-mingw/x86_64-w64-mingw32;/home/u/Library/Caches/Torvex/builds/0123;/home/u/.pub-cache"))"},
        {27, R"(set(CMAKE_C_FLAGS_INIT "-idirafter \"/home/u/Library/Caches/Torvex/builds/0123/tools/fallback-include\" -ivfsoverlay \"/home/u/Library/Caches/Torvex/builds/0123/tools/sdk-headers.yaml\""))"},
        {28, R"(set(CMAKE_CXX_FLAGS_INIT "-fms-extensions -include \"/home/u/Library/Caches/Torvex/builds/0123/tools/msvc-compat.h\" -idirafter \"/home/u/Library/Caches/Torvex/builds/0123/tools/fallback-include\" -ivfsoverlay \"/home/u/Library/Caches/Torvex/builds/0123/tools/sdk-headers.yaml\""))"},
        {30, R"(set(CMAKE_RC_FLAGS_INIT "--preprocessor-arg=-ivfsoverlay \"--preprocessor-arg=/home/u/Library/Caches/Torvex/builds/0123/tools/sdk-headers.yaml\""))"},
        {34, "set(CMAKE_EXE_LINKER_FLAGS_INIT \"-static " + GeneratedFiles::defaultLibraries() + "\")"},
    };
    for (const auto& [number, line] : expected) EXPECT_EQ(all[number - 1], line) << "line " << number;
}

// The lines that `cmake -P` prints for `script`, which runs in `folder`.
std::vector<std::string> cmakeMessages(const fs::path& cmake, const fs::path& folder, const std::string& script) {
    testing::writeFile(folder / "driver.cmake", script);
    const ProcessResult result = ProcessRunner::shared().capture(
        {cmake, {"-P", (folder / "driver.cmake").string()}, {}, folder});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return lines(result.standardError);
}

TEST(GeneratedFiles, CMakeAndTheShellReadEveryValueBackAsWritten) {
    const auto cmake = ProcessRunner::which("cmake", {"/usr/bin"});
    if (!cmake) GTEST_SKIP() << "cmake is not installed";
    testing::TempDir temp;
    const fs::path odd = "/home/it's \"odd\" $HOME ${HOME} `pwd` back\\slash";
    const std::string version = "1.0.0-\"b\\${HOME}$x";

    testing::writeFile(temp / "generated_config.cmake",
                       GeneratedFiles::generatedConfig(odd / "flutter", odd / "work", PubspecVersion(version)));
    EXPECT_EQ(cmakeMessages(*cmake, temp.path(),
                            "function(load)\n"
                            "  include(generated_config.cmake)\n"
                            "  foreach(entry IN LISTS FLUTTER_TOOL_ENVIRONMENT)\n"
                            "    message(\"${entry}\")\n"
                            "  endforeach()\n"
                            "endfunction()\n"
                            "load()\n"
                            "message(\"${FLUTTER_VERSION}\")\n"),
              (std::vector<std::string>{"FLUTTER_ROOT=" + (odd / "flutter").string(),
                                        "PROJECT_DIR=" + (odd / "work").string(), version}));

    const fs::path tools = odd / "tools";
    testing::writeFile(temp / "toolchain.cmake",
                       GeneratedFiles::toolchainFile(tools, odd / "llvm-mingw", tools / "msvc-compat.h",
                                                     tools / "fallback-include", tools / "sdk-headers.yaml",
                                                     tools / "rules-override.cmake", {odd, "/home/u/.pub-cache"}));
    const auto messages = cmakeMessages(*cmake, temp.path(),
                                        "macro(add_compile_definitions)\nendmacro()\n"
                                        "include(toolchain.cmake)\n"
                                        "message(\"${CMAKE_CXX_COMPILER}\")\n"
                                        "foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)\n"
                                        "  message(\"${root}\")\n"
                                        "endforeach()\n"
                                        "message(\"${CMAKE_CXX_FLAGS_INIT}\")\n"
                                        "message(\"${CMAKE_RC_FLAGS_INIT}\")\n");
    ASSERT_EQ(messages.size(), 6u);
    EXPECT_EQ(messages[0], (tools / "shim-clang++").string());
    EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.begin() + 4),
              (std::vector<std::string>{(odd / "llvm-mingw/x86_64-w64-mingw32").string(), odd.string(),
                                        "/home/u/.pub-cache"}));
    // Ninja hands the flags to /bin/sh as part of each compile command.
    const ProcessResult words = ProcessRunner::shared().capture(
        {"/bin/sh", {"-c", "printf '%s\\n' " + messages[4]}, {}, std::nullopt});
    EXPECT_EQ(lines(words.standardOutput),
              (std::vector<std::string>{"-fms-extensions", "-include", (tools / "msvc-compat.h").string(), "-idirafter",
                                        (tools / "fallback-include").string(), "-ivfsoverlay",
                                        (tools / "sdk-headers.yaml").string()}));
    const ProcessResult resourceWords = ProcessRunner::shared().capture(
        {"/bin/sh", {"-c", "printf '%s\\n' " + messages[5]}, {}, std::nullopt});
    EXPECT_EQ(lines(resourceWords.standardOutput),
              (std::vector<std::string>{"--preprocessor-arg=-ivfsoverlay",
                                        "--preprocessor-arg=" + (tools / "sdk-headers.yaml").string()}));
}

TEST(GeneratedFiles, GeneratedConfigCarriesTheVersion) {
    struct Case {
        std::optional<std::string> pubspec;
        std::string version, major, minor, patch, build;
    };
    const Case cases[] = {
        {"1.2.3+4", "1.2.3+4", "1", "2", "3", "4"},
        {std::nullopt, "1.0.0", "1", "0", "0", "0"},
    };
    for (const Case& c : cases) {
        const auto all = lines(GeneratedFiles::generatedConfig("/opt/flutter sdk", "/home/u/my app", PubspecVersion(c.pubspec)));
        ASSERT_EQ(all.size(), 15u);
        EXPECT_EQ(all[1], R"(file(TO_CMAKE_PATH "/opt/flutter sdk" FLUTTER_ROOT))");
        EXPECT_EQ(all[4], "set(FLUTTER_VERSION \"" + c.version + "\" PARENT_SCOPE)");
        EXPECT_EQ(all[5], "set(FLUTTER_VERSION_MAJOR " + c.major + " PARENT_SCOPE)");
        EXPECT_EQ(all[6], "set(FLUTTER_VERSION_MINOR " + c.minor + " PARENT_SCOPE)");
        EXPECT_EQ(all[7], "set(FLUTTER_VERSION_PATCH " + c.patch + " PARENT_SCOPE)");
        EXPECT_EQ(all[8], "set(FLUTTER_VERSION_BUILD " + c.build + " PARENT_SCOPE)");
        EXPECT_EQ(all[12], R"(  "FLUTTER_ROOT=/opt/flutter sdk")");
        EXPECT_EQ(all[13], R"(  "PROJECT_DIR=/home/u/my app")");
    }
}

// A work folder with a space in its path and a toolchain pointing into the temp folder.
struct ToolsRig {
    testing::TempDir temp;
    fs::path work = temp / "Caches dir" / "builds" / "0123456789abcdef";
    fs::path tools = work / "tools";
    fs::path toolchainFile = tools / "toolchain.cmake";
    Toolchain toolchain{"20240101", temp / "Application Support" / "toolchain" / "20240101" / "llvm-mingw",
                        "/usr/bin/cmake", "/usr/bin/ninja", temp / "Torvex.app" / "Contents" / "Helpers" / "torvex-cc"};

    ToolsRig() { testing::writeFile(toolchain.shim, "wrapper"); }

    std::vector<fs::path> entries() const {
        return {tools / "toolchain.cmake", tools / "rules-override.cmake", tools / "msvc-compat.h",
                tools / "mingw-bin", tools / "fallback-include" / "shobjidl_core.h", tools / "sdk-headers.yaml",
                tools / "sdk-headers.key", tools / "shim-clang", tools / "shim-clang++", tools / "shim-windres"};
    }
};

TEST(WriteToolchain, WritesEverythingOnceAndOnlyTheToolchainFileWhenTheFingerprintChanges) {
    ToolsRig rig;
    ScopedVariable pubCache("PUB_CACHE", "/pub cache");
    ASSERT_TRUE(BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile));

    for (const char* name : {"shim-clang", "shim-clang++", "shim-windres"}) {
        ASSERT_TRUE(fs::is_symlink(rig.tools / name)) << name;
        EXPECT_EQ(fs::read_symlink(rig.tools / name), rig.toolchain.shim) << name;
    }
    EXPECT_EQ(testing::readFile(rig.tools / "mingw-bin"), rig.toolchain.mingwBin().string());
    EXPECT_EQ(testing::readFile(rig.tools / "msvc-compat.h"), GeneratedFiles::compatHeader);
    EXPECT_EQ(testing::readFile(rig.tools / "rules-override.cmake"), GeneratedFiles::rulesOverride);
    EXPECT_EQ(testing::readFile(rig.tools / "fallback-include" / "shobjidl_core.h"),
              GeneratedFiles::fallbackHeaders().at("shobjidl_core.h"));
    EXPECT_EQ(testing::readFile(rig.tools / "sdk-headers.yaml"),
              sdkHeaderOverlay(rig.toolchain.mingwRoot / "x86_64-w64-mingw32" / "include"));
    const auto written = lines(testing::readFile(rig.toolchainFile));
    ASSERT_EQ(written.size(), 36u);
    EXPECT_EQ(written[14], "set(CMAKE_FIND_ROOT_PATH \"" + rig.toolchain.mingwRoot.string() + "/x86_64-w64-mingw32;" +
                               rig.work.string() + ";/pub cache\")");
    EXPECT_EQ(written[35], "# " + rig.toolchain.fingerprint());

    std::map<fs::path, long long> before;
    for (const fs::path& entry : rig.entries()) before[entry] = stamp(entry);
    EXPECT_FALSE(BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile));
    for (const fs::path& entry : rig.entries()) EXPECT_EQ(stamp(entry), before[entry]) << entry;

    Toolchain moved = rig.toolchain;
    moved.cmake = "/usr/local/bin/cmake";
    EXPECT_TRUE(BuildPipeline::writeToolchain(moved, rig.tools, rig.toolchainFile));
    const auto rewritten = lines(testing::readFile(rig.toolchainFile));
    EXPECT_EQ(std::vector<std::string>(rewritten.begin(), rewritten.end() - 1),
              std::vector<std::string>(written.begin(), written.end() - 1));
    EXPECT_EQ(rewritten.back(), "# " + moved.fingerprint());
    for (const fs::path& entry : rig.entries())
        if (entry != rig.toolchainFile) {
            EXPECT_EQ(stamp(entry), before[entry]) << entry;
        }
}

TEST(WriteToolchain, TheHeaderOverlayIsMadeOncePerToolchainUnderTheCompilersSpellingOfTheFolder) {
    ToolsRig rig;
    const fs::path include = rig.toolchain.mingwRoot / "x86_64-w64-mingw32" / "include";
    testing::writeFile(include / "windows.h", "");
    // The compiler reaches the toolchain through another folder (a sysroot fixed when it was set up).
    const fs::path elsewhere = rig.temp / "elsewhere";
    fs::create_directory_symlink(rig.toolchain.mingwRoot, elsewhere);
    const fs::path compiler = rig.toolchain.mingwBin() / "x86_64-w64-mingw32-clang";
    const auto compilerSays = [&](const std::string& folders, int status) {
        testing::writeScript(compiler, "printf '#include <...> search starts here:\\n" + folders +
                                           "End of search list.\\n' >&2\nexit " + std::to_string(status) + "\n");
    };
    compilerSays(" /usr/lib/clang/include\\n " + (elsewhere / "x86_64-w64-mingw32" / "include").string() + "\\n", 0);
    const fs::path overlay = rig.tools / "sdk-headers.yaml";
    const auto rootNames = [&] {
        const nlohmann::json parsed = nlohmann::json::parse(testing::readFile(overlay));
        std::vector<std::string> names;
        for (const auto& root : parsed.at("roots")) names.push_back(root.at("name"));
        return names;
    };

    BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
    EXPECT_EQ(rootNames(),
              (std::vector<std::string>{include.string(), (elsewhere / "x86_64-w64-mingw32" / "include").string()}));
    const std::string made = testing::readFile(overlay);

    // The same toolchain does not list its headers again.
    testing::writeFile(include / "versionhelpers.h", "");
    BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
    EXPECT_EQ(testing::readFile(overlay), made);

    // An overlay cut short by a failed write leaves no key behind, and is made again.
    testing::writeFile(overlay, made.substr(0, made.size() / 2));
    fs::remove(rig.tools / "sdk-headers.key");
    BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
    EXPECT_NE(testing::readFile(overlay).find("versionhelpers.h"), std::string::npos);
    EXPECT_EQ(rootNames().size(), 2u);

    // Without the compiler's answer the overlay has the folder's own spellings, and no key: the
    // next build asks again.
    fs::remove(rig.tools / "sdk-headers.key");
    compilerSays("", 1);
    BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
    EXPECT_EQ(rootNames(), std::vector<std::string>{include.string()});
    EXPECT_FALSE(fs::exists(rig.tools / "sdk-headers.key"));
}

TEST(WriteToolchain, PubCacheFallsBackToTheHomeFolder) {
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ToolsRig rig;
        ScopedVariable home("HOME", (rig.temp / "home dir").string());
        ScopedVariable pubCache("PUB_CACHE", value);
        BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
        const auto written = lines(testing::readFile(rig.toolchainFile));
        ASSERT_GT(written.size(), 14u);
        EXPECT_EQ(written[14], "set(CMAKE_FIND_ROOT_PATH \"" + rig.toolchain.mingwRoot.string() +
                                   "/x86_64-w64-mingw32;" + rig.work.string() + ";" +
                                   (rig.temp / "home dir" / ".pub-cache").string() + "\")")
            << (value ? "empty PUB_CACHE" : "unset PUB_CACHE");
    }
}

TEST(WriteToolchain, ReplacesWhateverStandsInPlaceOfAShimLink) {
    struct Case {
        const char* name;
        void (*make)(const fs::path& link, const fs::path& shim);
    };
    const Case cases[] = {
        {"a regular file", [](const fs::path& link, const fs::path&) { testing::writeFile(link, "stale"); }},
        {"a relative link to the right file",
         [](const fs::path& link, const fs::path& shim) { fs::create_symlink(fs::relative(shim, link.parent_path()), link); }},
        {"a link elsewhere", [](const fs::path& link, const fs::path&) { fs::create_symlink("/usr/bin/true", link); }},
        {"a dangling link", [](const fs::path& link, const fs::path&) { fs::create_symlink("/nonexistent/cc", link); }},
        {"an empty folder", [](const fs::path& link, const fs::path&) { fs::create_directories(link); }},
        {"a folder with files in it",
         [](const fs::path& link, const fs::path&) { testing::writeFile(link / "deeper" / "inside", "x"); }},
        {"a link to a folder, whose files stay",
         [](const fs::path& link, const fs::path& shim) { fs::create_directory_symlink(shim.parent_path(), link); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolsRig rig;
        fs::create_directories(rig.tools);
        c.make(rig.tools / "shim-clang", rig.toolchain.shim);
        BuildPipeline::writeToolchain(rig.toolchain, rig.tools, rig.toolchainFile);
        ASSERT_TRUE(fs::is_symlink(rig.tools / "shim-clang"));
        EXPECT_EQ(fs::read_symlink(rig.tools / "shim-clang"), rig.toolchain.shim);
        EXPECT_EQ(testing::readFile(rig.toolchain.shim), "wrapper");
    }
}

} // namespace
} // namespace torvex
