#include "Build/BuildPipeline.h"

#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "Setup/SystemSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace torvex {
namespace {
namespace fs = std::filesystem;

// Runs a tool and fails the test with its output when it does not exit 0.
bool runs(const fs::path& executable, const std::vector<std::string>& arguments) {
    ProcessSpec spec;
    spec.executable = executable;
    spec.arguments = arguments;
    const ProcessResult result = ProcessRunner::shared().capture(spec);
    EXPECT_EQ(result.exitCode, 0) << executable.string() << "\n" << result.standardOutput << "\n"
                                  << result.standardError;
    return result.exitCode == 0;
}

TEST(ToolchainFile, DrivesCMakeThroughTheWrapperToWindowsBinaries) {
    const auto cmake = ProcessRunner::which("cmake");
    const auto ninja = ProcessRunner::which("ninja");
    if (!cmake || !ninja) GTEST_SKIP() << "cmake or ninja is not installed";
    const fs::path wrapper = testing::builtBundle() / "Contents" / "Helpers" / "torvex-cc";
    ASSERT_TRUE(fs::exists(wrapper)) << wrapper;

    // Spaces in both folders: every generated path must be quoted.
    testing::TempDir temp;
    const fs::path toolchainFolder = temp / "Application Support" / "toolchain" / "local";
    try {
        assembleLLVMMingw(toolchainFolder / "llvm-mingw", toolchainFolder / "llvm-mingw");
    } catch (const TorvexError& missing) {
        GTEST_SKIP() << missing.description();
    }
    const Toolchain toolchain{"local", toolchainFolder / "llvm-mingw", *cmake, *ninja, wrapper};
    const fs::path work = temp / "Caches dir" / "builds" / "0123456789abcdef";
    ASSERT_TRUE(BuildPipeline::writeToolchain(toolchain, work / "tools", work / "tools" / "toolchain.cmake"));

    const fs::path source = work / "windows";
    testing::writeFile(source / "CMakeLists.txt",
                       "cmake_minimum_required(VERSION 3.14)\n"
                       "project(two_files LANGUAGES C CXX)\n"
                       "add_library(greeting SHARED greeting.c)\n"
                       "add_executable(two_files main.cpp)\n"
                       "target_compile_features(two_files PRIVATE cxx_std_17)\n"
                       "target_link_libraries(two_files PRIVATE greeting)\n");
    testing::writeFile(source / "greeting.c", "__declspec(dllexport) int greeting(void) { return 42; }\n");
    // No standard includes: msvc-compat.h is forced in. The defines come from the toolchain file.
    // SDK headers in the letter case of the Windows SDK, and what plugins written for it expect of
    // its headers and of MSVC's library, in C++17.
    testing::writeFile(source / "main.cpp",
                       "#include <Windows.h>\n"
                       "#include <VersionHelpers.h>\n"
                       "#include <ShlObj.h>\n"
                       "#include <shobjidl_core.h>\n"
                       "#include <comdef.h>\n"
                       "#include <dwmapi.h>\n"
                       "#include <sstream>\n"
                       "static_assert(sizeof(TCHAR) == 2, \"UNICODE\");\n"
                       "static_assert(_WIN32_WINNT == 0x0A00, \"Windows 10\");\n"
                       "static_assert(__cplusplus == 201703L, \"the project's standard stays\");\n"
                       "_COM_SMARTPTR_TYPEDEF(IShellItem, __uuidof(IShellItem));\n"
                       "_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));  // mingw-w64 has it already\n"
                       "extern \"C\" __declspec(dllimport) int greeting(void);\n"
                       "int main() {\n"
                       "  IShellItemPtr item(nullptr);\n"
                       "  item = nullptr;\n"
                       "  SYSTEM_POWER_STATUS power = {};\n"
                       "  GetSystemPowerStatus(&power);\n"
                       "  std::ostringstream details;\n"
                       "  details << std::unique_ptr<int>() << power.SystemStatusFlag << DWMWA_USE_IMMERSIVE_DARK_MODE;\n"
                       "  std::optional<std::string> text = std::to_string(greeting());\n"
                       "  if (item != nullptr || !IsWindows10OrGreater()) return 1;\n"
                       "  return std::max<int>(0, static_cast<int>(text->size() + details.str().empty()) - 2);\n"
                       "}\n");

    const fs::path build = work / "cmake-build";
    ASSERT_TRUE(runs(*cmake, {"-G", "Ninja", "-S", source.string(), "-B", build.string(),
                              "-DCMAKE_MAKE_PROGRAM=" + ninja->string(), "-DCMAKE_BUILD_TYPE=Debug",
                              "-DCMAKE_TOOLCHAIN_FILE=" + (work / "tools" / "toolchain.cmake").string()}));
    ASSERT_TRUE(runs(*cmake, {"--build", build.string()}));

    EXPECT_EQ(testing::readFile(build / "two_files.exe").substr(0, 2), "MZ");
    EXPECT_EQ(testing::readFile(build / "greeting.dll").substr(0, 2), "MZ");  // no "lib" prefix

    // Only the SDK's headers are found whatever their case; the project's own keep exact case.
    testing::writeFile(source / "own.h", "#pragma once\n");
    testing::writeFile(source / "own.cpp", "#include <Windows.h>\n#include \"Own.h\"\n");
    ProcessSpec spec;
    spec.executable = toolchain.mingwBin() / "x86_64-w64-mingw32-clang++";
    spec.arguments = {"-fsyntax-only", "-ivfsoverlay", (work / "tools" / "sdk-headers.yaml").string(),
                      (source / "own.cpp").string()};
    const ProcessResult ownHeader = ProcessRunner::shared().capture(spec);
    EXPECT_NE(ownHeader.exitCode, 0);
    EXPECT_NE(ownHeader.standardError.find("own.cpp:2:10: fatal error: 'Own.h' file not found"), std::string::npos)
        << ownHeader.standardError;
}

} // namespace
} // namespace torvex
