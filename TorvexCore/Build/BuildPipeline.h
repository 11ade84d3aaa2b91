#pragma once

#include "Toolchain.h"
#include "Core/Paths.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace torvex {

// What to build.
struct BuildRequest {
    std::filesystem::path projectPath;             // a folder or file inside the Flutter project
    std::optional<std::filesystem::path> bundle;   // a ready Dart bundle instead of running the Flutter tool
    std::optional<std::string> flutterRoot;        // becomes FLUTTER_ROOT while the SDK is located
};

// What was built.
struct BuildResult {
    std::filesystem::path outputDirectory;  // <work folder>/out, the install prefix
    std::filesystem::path executable;       // <work folder>/out/<binaryName>.exe
    bool nativeStepSkipped = false;         // no CMake ran: native inputs were unchanged
    std::chrono::steady_clock::duration duration{};
};

// Turns a Flutter project into a runnable Windows x64 debug program in its work folder
// <caches>/builds/<project hash>. Keeps no state between builds; builds of one work folder run one
// after another, in this process or across processes (a lock on "build.lock" in the folder).
struct BuildPipeline {
    // Receives every progress line; may be called from any thread, also concurrently.
    using Output = std::function<void(const std::string&)>;

    TorvexPaths paths;
    Output output;

    // Throws TorvexError (from here or the steps it calls), file-system errors, the process
    // runner's start error, or Cancelled when `stop` ends the build.
    BuildResult build(const BuildRequest& request, std::stop_token stop = {}) const;

    // Fills `tools` with the toolchain file, rules override, compatibility header, fallback headers,
    // the SDK header overlay, mingw-bin and the three shim links. Answers whether `toolchainFile` was
    // written. `stop` ends the compiler run that the overlay of a new toolchain asks.
    static bool writeToolchain(const Toolchain& toolchain, const std::filesystem::path& tools,
                               const std::filesystem::path& toolchainFile, std::stop_token stop = {});

    // The elapsed time in seconds with one decimal (half to even) and the unit: "12.3 s".
    static std::string durationText(std::chrono::steady_clock::duration elapsed);
};

} // namespace torvex
