#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/WindowsProgram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

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

} // namespace

TEST(CompilerWrapperBuildTest, CMakeBuildsAWindowsProgramWithMSVCStyleFlagsThroughTheWrapper) {
    const std::optional<fs::path> cmake = onPath("cmake");
    const std::optional<fs::path> ninja = onPath("ninja");
    if (!cmake || !ninja) GTEST_SKIP() << "cmake and ninja are needed (apt-get install cmake ninja-build)";

    const TempDir dir;
    // Spaces, as under "Library/Application Support": every generated command must quote its paths.
    const fs::path toolchain = dir / "Application Support/toolchain";
    // Through the script, which runs the product's assembly built into this tree.
    const SpawnResult assembled = scriptRun("local-llvm-mingw", {toolchain.string()}, dir.path());
    if (assembled.status == 69) GTEST_SKIP() << assembled.err;
    ASSERT_EQ(assembled.status, 0) << assembled.err;
    const fs::path bin = toolchain / "llvm-mingw/bin";
    EXPECT_EQ(assembled.out, bin.string() + "\n");

    const fs::path project = dir / "wrapper project";
    fs::copy(sourceDir() / "tests/fixtures/wrapper-project", project, fs::copy_options::recursive);
    fs::create_directories(project / "tools");
    writeFile(project / "tools/mingw-bin", bin.string() + "\n");
    for (const char* link : {"shim-clang", "shim-clang++", "shim-windres"}) {
        fs::create_symlink(builtBundle() / "Contents/Helpers/torvex-cc", project / "tools" / link);
    }

    const fs::path build = project / "build";
    const SpawnResult configured = spawnAndWait(
        {*cmake,
         {"cmake", "-S", project.string(), "-B", build.string(), "-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja->string(),
          "-DCMAKE_TOOLCHAIN_FILE=" + (project / "toolchain.cmake").string()},
         std::nullopt,
         {}},
        dir.path());
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;

    const SpawnResult built = spawnAndWait({*cmake, {"cmake", "--build", build.string()}, std::nullopt, {}}, dir.path());
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
