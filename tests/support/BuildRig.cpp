#include "support/BuildRig.h"

#include "support/FakeFlutterSDK.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include "Build/FlutterProject.h"
#include "Build/Stager.h"
#include "Core/Platform/Digest.h"
#include "Core/ProcessRunner.h"
#include "Setup/SystemSource.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace torvex::testing {
namespace fs = std::filesystem;

namespace {

fs::path cmakeLog(const fs::path& root) { return root / "cmake-runs.log"; }
fs::path engineArchives(const fs::path& root) { return root / "engine archives" / BuildRig::engineRevision(); }

} // namespace

std::optional<std::string> BuildRig::missingTool() {
    for (const char* tool : {"cmake", "ninja", "bsdtar", "x86_64-w64-mingw32-gcc", "clang", "ld.lld", "llvm-windres"}) {
        if (!ProcessRunner::which(tool, {"/usr/lib/llvm-14/bin"})) {
            return std::string(tool) + " is not installed (bash scripts/bootstrap installs it)";
        }
    }
    return std::nullopt;
}

BuildRig::BuildRig(const fs::path& root, Tools tools)
    : root_(root),
      paths_{root / "Application Support", root / "Caches", root / "Logs"},
      project_(root / "projects" / "hello"),
      sdkRoot_(root / "flutter sdk") {
    fs::create_directories(root / "scratch");

    if (tools == Tools::assembled) {
        const fs::path toolchain = paths_.toolchains() / "local";
        if (!fs::exists(toolchain / "llvm-mingw" / "bin" / "x86_64-w64-mingw32-clang")) {
            assembleLLVMMingw(toolchain / "llvm-mingw", toolchain / "llvm-mingw");
        }
        const auto cmake = ProcessRunner::which("cmake");
        if (!cmake) throw std::runtime_error("cmake is not installed");
        replaceCMake("exec " + shellQuoted(cmake->string()) + " \"$@\"\n");
        ::setenv("TORVEX_CC", (builtBundle() / "Contents" / "Helpers" / "torvex-cc").c_str(), 1);
    }

    const fs::path archives = engineArchives(root);
    if (!fs::exists(archives / "windows-x64" / "artifacts.zip")) runScript("stand-in-engine", {archives.string()}, root / "scratch");
    server_.serveEngine(engineRevision(), archives);

    makeFakeFlutterSDK(sdkRoot_, engineRevision(), "", "3.47.0");
    Stager{{"windows/flutter/ephemeral/"}, {}}.mirror(sourceDir() / "examples" / "hello", project_);
    for (const auto& package : fs::directory_iterator(project_ / "packages")) {
        if (fs::is_directory(package.path() / "windows")) linkPlugin(package.path().filename().string(), package.path());
    }

    ::setenv("FLUTTER_STORAGE_BASE_URL", server_.baseURL().c_str(), 1);
}

BuildRequest BuildRig::request() const { return BuildRequest{project_, std::nullopt, sdkRoot_.string()}; }

fs::path BuildRig::workFolder() const { return paths_.builds() / FlutterProject::discover(project_).hash(); }

const std::string& BuildRig::engineRevision() {
    static const std::string revision = [] {
        const fs::path sources = sourceDir() / "tests" / "fixtures" / "engine";
        std::vector<fs::path> files = {sourceDir() / "scripts" / "stand-in-engine"};
        for (const auto& entry : fs::recursive_directory_iterator(sources))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string contents;
        for (const fs::path& file : files) {
            contents += fs::relative(file, sourceDir()).string() + '\0' + readFile(file) + '\0';
        }
        return sha256Hex(contents).substr(0, 40);
    }();
    return revision;
}

void BuildRig::linkPlugin(const std::string& name, const fs::path& package) const {
    const fs::path links = project_ / "windows" / "flutter" / "ephemeral" / ".plugin_symlinks";
    fs::create_directories(links);
    std::error_code error;
    if (fs::read_symlink(links / name, error) == package) return;
    fs::remove_all(links / name);
    fs::create_directory_symlink(package, links / name);
}

std::vector<std::string> BuildRig::cmakeRuns() const {
    std::istringstream lines(readFile(cmakeLog(root_)));
    std::vector<std::string> runs;
    for (std::string line; std::getline(lines, line);) runs.push_back(line);
    return runs;
}

void BuildRig::replaceCMake(const std::string& body) const {
    writeScript(paths_.toolchains() / "local" / "cmake" / "bin" / "cmake",
                "echo \"$$ $*\" >> " + shellQuoted(cmakeLog(root_).string()) + "\n" + body);
}

void BuildRig::changeEngineRevision(const std::string& revision) {
    server_.serveEngine(revision, engineArchives(root_));
    makeFakeFlutterSDK(sdkRoot_, revision, "", "3.47.0");
}

} // namespace torvex::testing
