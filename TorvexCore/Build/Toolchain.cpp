#include "Toolchain.h"

#include "Core/Files.h"
#include "Core/Platform/ProcessInfo.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"

#include <algorithm>
#include <vector>

namespace torvex {
namespace fs = std::filesystem;
namespace {

// The first candidate that is an executable file, else `which(name)` on the program's PATH.
std::optional<fs::path> tool(const std::vector<fs::path>& candidates, const std::string& name) {
    for (const auto& candidate : candidates) {
        if (isExecutableFile(candidate)) return candidate;
    }
    return ProcessRunner::which(name);
}

TorvexError notFound(const std::string& tool, const std::string& package) {
    return TorvexError(TorvexError::Kind::generic, tool + " was not found.",
                       "It is not in the Torvex toolchain or on PATH.",
                       "Run `torvex setup`, or install it with `apt-get install " + package + "`.");
}

} // namespace

std::string Toolchain::fingerprint() const {
    return version + "|" + mingwRoot.string() + "|" + cmake.string() + "|" + ninja.string() + "|" + shim.string();
}

Toolchain Toolchain::locate(const TorvexPaths& paths, const Environment& environment) {
    const auto executable = executablePath();
    const fs::path folder = executable ? resolvedPath(*executable).parent_path() : fs::current_path();
    return locate(paths, environment, folder);
}

Toolchain Toolchain::locate(const TorvexPaths& paths, const Environment& environment, const fs::path& executableFolder) {
    const fs::path root = paths.toolchains();
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entries(root, error), end; !error && entries != end; entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        std::error_code missing;
        if (fs::exists(root / name / "llvm-mingw" / "bin" / "x86_64-w64-mingw32-clang", missing)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        throw TorvexError(TorvexError::Kind::generic, "The Windows build toolchain is not installed.",
                          "No llvm-mingw found in " + root.string() + ".", "Run `torvex setup` to download it.");
    }
    const std::string version = names.back();
    const fs::path folder = root / version;

    const auto cmake = tool({folder / "cmake" / "CMake.app" / "Contents" / "bin" / "cmake", folder / "cmake" / "bin" / "cmake"},
                            "cmake");
    if (!cmake) throw notFound("CMake", "cmake");
    const auto ninja = tool({folder / "bin" / "ninja"}, "ninja");
    if (!ninja) throw notFound("Ninja", "ninja-build");

    fs::path shim;
    if (const auto given = environment.find("TORVEX_CC"); given != environment.end()) {
        shim = given->second.empty() ? fs::current_path() : fs::absolute(given->second);
    } else {
        const fs::path beside = executableFolder / "torvex-cc";
        const fs::path helpers = executableFolder.parent_path() / "Helpers" / "torvex-cc";
        shim = !isExecutableFile(beside) && isExecutableFile(helpers) ? helpers : beside;
    }
    if (!isExecutableFile(shim)) {
        throw TorvexError(TorvexError::Kind::generic, "torvex-cc is missing.", "Expected it at " + shim.string() + ".",
                          "Reinstall Torvex.");
    }
    return Toolchain{version, folder / "llvm-mingw", *cmake, *ninja, shim};
}

} // namespace torvex
