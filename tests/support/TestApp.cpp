#include "support/TestApp.h"

#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/WindowsProgram.h"

#include "Build/FlutterProject.h"
#include "Core/ProcessRunner.h"

#include <sstream>
#include <stdexcept>
#include <vector>

namespace torvex::testing {
namespace fs = std::filesystem;

namespace {

fs::path fixture() { return sourceDir() / "tests" / "fixtures" / "test-app"; }

// Compiles with the assembled clang for x86_64-w64-mingw32; throws with its output when it fails.
void compile(const fs::path& work, const std::vector<std::string>& arguments) {
    const fs::path clang = TestApp::mingwRoot(work) / "bin" / "x86_64-w64-mingw32-clang";
    std::vector<std::string> argv = {clang.string(), "-O1", "-Wall", "-Wextra", "-Werror"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const SpawnResult result = spawnAndWait({clang, argv, std::nullopt, {}}, work);
    if (result.status != 0) throw std::runtime_error("compiling the test app failed:\n" + result.out + result.err);
}

} // namespace

std::optional<std::string> TestApp::missingTool() {
    for (const char* tool : {"clang", "ld.lld"}) {
        if (!ProcessRunner::which(tool, {"/usr/lib/llvm-14/bin"})) {
            return std::string(tool) + " is not installed (bash scripts/bootstrap installs it)";
        }
    }
    if (!fs::is_directory("/usr/x86_64-w64-mingw32/include")) {
        return "the mingw-w64 headers are not installed (apt-get install g++-mingw-w64-x86-64-posix)";
    }
    return std::nullopt;
}

fs::path TestApp::mingwRoot(const fs::path& work) {
    fs::create_directories(work);
    const fs::path toolchain = work / "toolchain";
    if (!fs::exists(toolchain / "llvm-mingw" / "bin" / "x86_64-w64-mingw32-clang")) {
        runScript("local-llvm-mingw", {toolchain.string()}, work);
    }
    return toolchain / "llvm-mingw";
}

void TestApp::build(const fs::path& exe, const fs::path& work) {
    fs::create_directories(exe.parent_path());
    compile(work, {"-o", exe.string(), (fixture() / "test-app.c").string(), "-luser32", "-lgdi32"});
}

fs::path TestApp::buildProject(const fs::path& project, const TorvexPaths& paths, const fs::path& work) {
    writeFile(project / "pubspec.yaml", "name: test_app\n");
    writeFile(project / "windows" / "CMakeLists.txt", "set(BINARY_NAME \"test_app\")\n");
    build(paths.builds() / FlutterProject::discover(project).hash() / "out" / "test_app.exe", work);
    return project;
}

void TestApp::buildStubDXVK(const fs::path& x64, const fs::path& work) {
    fs::create_directories(x64);
    for (const char* dll : {"d3d11.dll", "d3d10core.dll"}) {
        compile(work, {"-shared", "-o", (x64 / dll).string(), (fixture() / "stub-d3d.c").string()});
    }
}

std::map<std::string, std::string> TestApp::report(const std::string& output) {
    std::map<std::string, std::string> values;
    std::istringstream lines(withoutCarriageReturns(output));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

} // namespace torvex::testing
