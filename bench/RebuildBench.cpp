// After one real build of examples/hello, times a no-change build with a given Dart bundle, as the
// Flutter tool asks for it (the native step is skipped), against Ninja's own no-op check of the same
// CMake tree, alternating, and prints both medians and their ratio.
// Usage: RebuildBench [rounds]   (default 20 of each)

#include "BenchSupport.h"
#include "Build/BuildPipeline.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "support/BuildRig.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;
using namespace torvex;

constexpr double targetRatio = 1.2;

template <typename Work>
double milliseconds(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A debug Dart bundle of a small app: the kernel, the asset lists, a font, shaders and licences.
void writeBundle(const fs::path& bundle) {
    std::string kernel(24 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<char>((i * 2654435761u) >> 24);
    testing::writeFile(bundle / "kernel_blob.bin", kernel);
    testing::writeFile(bundle / "AssetManifest.json", "{}");
    testing::writeFile(bundle / "AssetManifest.bin", std::string(64, 'a'));
    testing::writeFile(bundle / "FontManifest.json", "[]");
    testing::writeFile(bundle / "NOTICES.Z", std::string(96 * 1024, 'n'));
    testing::writeFile(bundle / "fonts" / "MaterialIcons-Regular.otf", std::string(1600 * 1024, 'f'));
    testing::writeFile(bundle / "shaders" / "ink_sparkle.frag", std::string(20 * 1024, 's'));
    testing::writeFile(bundle / "packages" / "cupertino_icons" / "assets" / "CupertinoIcons.ttf",
                       std::string(280 * 1024, 'c'));
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = bench::countArgument(argc, argv, "RebuildBench", "rounds", 20);
    if (auto missing = testing::BuildRig::missingTool()) {
        std::fprintf(stderr, "RebuildBench: %s.\n", missing->c_str());
        return 69;
    }

    try {
        testing::TempDir temp;
        testing::BuildRig rig(temp.path());
        writeBundle(temp / "bundle");
        BuildRequest request = rig.request();
        request.bundle = temp / "bundle";
        const BuildPipeline pipeline{rig.paths(), [](const std::string&) {}};

        std::printf("RebuildBench: first build of examples/hello ...\n");
        std::fflush(stdout);
        pipeline.build(request);
        const auto ninja = ProcessRunner::which("ninja");
        const ProcessSpec noOp{*ninja, {"-C", (rig.workFolder() / "cmake-build").string()}, {}, std::nullopt};

        std::vector<double> rebuilds;
        std::vector<double> ninjaChecks;
        for (int round = 0; round <= rounds; ++round) {
            bool skipped = false;
            const double rebuild = milliseconds([&] { skipped = pipeline.build(request).nativeStepSkipped; });
            int code = 0;
            const double check = milliseconds([&] { code = ProcessRunner::shared().capture(noOp).exitCode; });
            if (!skipped || code != 0) {
                std::fprintf(stderr, "RebuildBench: round %d: the build did not take its shortcut, or ninja failed.\n",
                             round);
                return 1;
            }
            if (round == 0) continue;  // warm-up
            rebuilds.push_back(rebuild);
            ninjaChecks.push_back(check);
        }

        const double rebuild = bench::median(rebuilds);
        const double check = bench::median(ninjaChecks);
        const double ratio = rebuild / check;
        std::printf("no-change build, given bundle: median %.2f ms over %d rounds\n", rebuild, rounds);
        std::printf("ninja -C cmake-build (no-op):  median %.2f ms over %d rounds\n", check, rounds);
        std::printf("ratio %.3f (target <= %.1f): %s\n", ratio, targetRatio,
                    ratio <= targetRatio ? "within target" : "over target");
        return 0;
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "RebuildBench: %s\n", error.description().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "RebuildBench: %s\n", error.what());
        return 1;
    }
}
