#pragma once

#include "Core/Environment.h"
#include "Core/Paths.h"

#include <filesystem>
#include <string>

namespace torvex {

// The installed build tools one build uses.
struct Toolchain {
    std::string version;                // folder name under support/"toolchain"
    std::filesystem::path mingwRoot;    // support/"toolchain"/version/"llvm-mingw"
    std::filesystem::path cmake;
    std::filesystem::path ninja;
    std::filesystem::path shim;         // torvex-cc, which the shim-* links point to

    std::filesystem::path mingwBin() const { return mingwRoot / "bin"; }
    // version|mingwRoot|cmake|ninja|shim
    std::string fingerprint() const;

    // The newest usable toolchain folder, CMake, Ninja and the compiler wrapper.
    static Toolchain locate(const TorvexPaths& paths, const Environment& environment);
    // The same, with the wrapper looked for in `executableFolder` and its ../Helpers instead of
    // beside the running program.
    static Toolchain locate(const TorvexPaths& paths, const Environment& environment,
                            const std::filesystem::path& executableFolder);
};

} // namespace torvex
