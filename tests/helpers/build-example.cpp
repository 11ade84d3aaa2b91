// Builds examples/hello for Windows x64 with the build pipeline, on this machine's stand-ins for
// the downloaded components (an llvm-mingw folder assembled from Debian's packages, the stand-in
// engine served on loopback, a fake Flutter SDK), then runs the program under Wine on a private
// X server when Wine is installed. A second run finds the native code unchanged.
// Usage: build-example [STATE_DIR]   (default: the build tree's "example" folder)

#include "BuildPipeline.h"
#include "TorvexError.h"
#include "support/BuildRig.h"
#include "support/VirtualDisplay.h"
#include "support/WindowsProgram.h"

#include <cstdio>
#include <exception>
#include <filesystem>

namespace fs = std::filesystem;
using namespace torvex;

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: build-example [STATE_DIR]\n");
        return 64;
    }
    const fs::path state = fs::absolute(argc == 2 ? fs::path(argv[1]) : fs::path(TORVEX_BUILD_DIR) / "example");
    if (auto missing = testing::BuildRig::missingTool()) {
        std::fprintf(stderr, "error: A Windows build cannot run on this machine.\n  Why: %s.\n"
                             "  Fix: Run `bash scripts/bootstrap` as root.\n", missing->c_str());
        return 69;
    }

    try {
        std::printf("Preparing the toolchain, engine and SDK stand-ins in %s\n", state.c_str());
        std::fflush(stdout);
        testing::BuildRig rig(state);
        const BuildPipeline pipeline{rig.paths(), [](const std::string& line) {
                                         std::printf("%s\n", line.c_str());
                                         std::fflush(stdout);
                                     }};
        const BuildResult result = pipeline.build(rig.request());

        if (!testing::WinePrefix::available()) {
            std::printf("Wine is not installed, so %s was built but not run.\n", result.executable.c_str());
            return 0;
        }
        const auto display = testing::VirtualDisplay::start();
        if (!display) {
            std::fprintf(stderr, "error: Could not start a virtual X server.\n  Why: Xvfb is missing or failed.\n"
                                 "  Fix: Install it with `apt-get install xvfb`.\n");
            return 1;
        }
        std::printf("Running %s under Wine on display %s (the first start of a Wine prefix takes a while)\n",
                    result.executable.filename().c_str(), display->name().c_str());
        std::fflush(stdout);
        const testing::WinePrefix wine(state / "wine prefix", state);
        const testing::SpawnResult ran = wine.run(result.executable, {"--quit-after-ms=1000"}, display->name());
        std::printf("%s", testing::withoutCarriageReturns(ran.out).c_str());
        std::printf("%s exited with status %d\n", result.executable.filename().c_str(), ran.status);
        if (ran.status != 0) std::fprintf(stderr, "%s", ran.err.c_str());
        return ran.status == 0 ? 0 : 1;
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "error: %s\n", error.description().c_str());
        return TorvexError::rawValue(error.kind);
    } catch (const fs::filesystem_error& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    }
}
