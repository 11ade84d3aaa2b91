#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/WindowsProgram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

std::optional<fs::path> onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder.empty() ? "." : folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// The llvm-mingw folder assembled from the system's packages, and a tools folder of the wrapper's
// links beside a project, as the build pipeline lays them out. `skip` says why there are none.
struct WrapperTools {
    std::optional<fs::path> cmake = onPath("cmake");
    std::optional<fs::path> ninja = onPath("ninja");
    fs::path bin;
    std::string skip;

    WrapperTools(const TempDir& dir, const fs::path& project) {
        if (!cmake || !ninja) {
            skip = "cmake and ninja are needed (apt-get install cmake ninja-build)";
            return;
        }
        // Spaces, as under "Library/Application Support": every generated command must quote its paths.
        const fs::path toolchain = dir / "Application Support/toolchain";
        // Through the script, which runs the product's assembly built into this tree.
        const SpawnResult assembled = scriptRun("local-llvm-mingw", {toolchain.string()}, dir.path());
        if (assembled.status == 69) {
            skip = assembled.err;
            return;
        }
        EXPECT_EQ(assembled.status, 0) << assembled.err;
        bin = toolchain / "llvm-mingw/bin";
        EXPECT_EQ(assembled.out, bin.string() + "\n");
        fs::create_directories(project / "tools");
        writeFile(project / "tools/mingw-bin", bin.string() + "\n");
        for (const char* link : {"shim-clang", "shim-clang++", "shim-windres"}) {
            fs::create_symlink(builtBundle() / "Contents/Helpers/torvex-cc", project / "tools" / link);
        }
    }

    SpawnResult cmakeRun(const std::vector<std::string>& arguments, const fs::path& scratch) const {
        std::vector<std::string> argv{"cmake"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return spawnAndWait({*cmake, argv, std::nullopt, {}}, scratch);
    }
};

// Every file below `root` (links followed) with its bytes.
std::map<std::string, std::string> filesBelow(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root, fs::directory_options::follow_directory_symlink)) {
        files[fs::relative(entry.path(), root).string()] = entry.is_regular_file() ? readFile(entry.path()) : "<folder>";
    }
    return files;
}

} // namespace

TEST(CompilerWrapperBuildTest, CMakeBuildsAWindowsProgramWithMSVCStyleFlagsThroughTheWrapper) {
    const TempDir dir;
    const fs::path project = dir / "wrapper project";
    fs::copy(sourceDir() / "tests/fixtures/wrapper-project", project, fs::copy_options::recursive);
    const WrapperTools tools(dir, project);
    if (!tools.skip.empty()) GTEST_SKIP() << tools.skip;

    const fs::path build = project / "build";
    const SpawnResult configured =
        tools.cmakeRun({"-S", project.string(), "-B", build.string(), "-G", "Ninja",
                        "-DCMAKE_MAKE_PROGRAM=" + tools.ninja->string(),
                        "-DCMAKE_TOOLCHAIN_FILE=" + (project / "toolchain.cmake").string()},
                       dir.path());
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;

    const SpawnResult built = tools.cmakeRun({"--build", build.string()}, dir.path());
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    // Every MSVC flag of the project is one the wrapper knows.
    EXPECT_EQ(built.out.find("dropping unknown MSVC flag"), std::string::npos) << built.out;

    const fs::path exe = build / "out/wrapper-demo.exe";
    expectPE32PlusForX64(exe);
    expectPE32PlusForX64(build / "out/libgreeter.dll");
    EXPECT_TRUE(fs::exists(build / "libgreeter.dll.a"));

    if (!WinePrefix::available()) GTEST_SKIP() << "Wine is not installed; the program was built but not run";
    const WinePrefix wine(dir / "wine prefix", dir.path());
    const SpawnResult ran = wine.run(exe);
    EXPECT_EQ(ran.status, 3) << ran.err;
    EXPECT_EQ(withoutCarriageReturns(ran.out), "ANSWER=42 version=1.2.3 product=Wrapper Demo\n") << ran.err;
}

TEST(CompilerWrapperBuildTest, PluginsReachedThroughLinksBuildWithHabitsOfMSVCCode) {
    const TempDir dir;
    const fs::path project = dir / "host project";
    fs::copy(sourceDir() / "tests/fixtures/plugin-host", project, fs::copy_options::recursive);
    fs::copy_file(sourceDir() / "tests/fixtures/wrapper-project/toolchain.cmake", project / "toolchain.cmake");
    const WrapperTools tools(dir, project);
    if (!tools.skip.empty()) GTEST_SKIP() << tools.skip;

    // As the pub cache holds them, reached through links as Flutter's .plugin_symlinks does.
    const std::vector<std::string> plugins{"plugin_icon", "window_styles"};
    const fs::path cache = dir / "pub cache";
    const fs::path links = dir / "app/windows/flutter/ephemeral/.plugin_symlinks";
    fs::create_directories(links);
    fs::create_directories(cache);
    for (const std::string& name : plugins) {
        fs::copy(sourceDir() / "tests/fixtures/plugins" / name, cache / (name + "-1.0.0"), fs::copy_options::recursive);
        fs::create_symlink(cache / (name + "-1.0.0"), links / name);
    }
    const auto pluginFiles = filesBelow(cache);

    const fs::path build = project / "build";
    const SpawnResult configured = tools.cmakeRun(
        {"-S", project.string(), "-B", build.string(), "-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + tools.ninja->string(),
         "-DCMAKE_TOOLCHAIN_FILE=" + (project / "toolchain.cmake").string(), "-DPLUGIN_LINKS=" + links.string(),
         "-DPLUGINS=plugin_icon;window_styles", "-DENGINE_HEADERS=" + (sourceDir() / "tests/fixtures/engine").string()},
        dir.path());
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;

    const SpawnResult built = tools.cmakeRun({"--build", build.string()}, dir.path());
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    // The wrapper had nothing to warn about; the narrowing case labels are warnings, not errors.
    EXPECT_EQ(built.out.find("torvex-cc:"), std::string::npos) << built.out;
    EXPECT_NE(built.out.find("warning: case value evaluates to -16, which cannot be narrowed"), std::string::npos)
        << built.out;

    for (const std::string& name : plugins) expectPE32PlusForX64(build / "plugins" / name / (name + "_plugin.dll"));
    // The icon's image, after the icon file's 6-byte header and its one 16-byte entry.
    const std::string icon = readFile(cache / "plugin_icon-1.0.0/windows/resources/app_icon.ico").substr(22);
    EXPECT_NE(readFile(build / "plugins/plugin_icon/plugin_icon_plugin.dll").find(icon), std::string::npos);

    // Nothing was written beside the plugins, and the patched copy of the script is gone.
    EXPECT_EQ(filesBelow(cache), pluginFiles);
    for (const auto& [path, bytes] : filesBelow(build)) EXPECT_EQ(path.find(".torvex-"), std::string::npos) << path;
}
