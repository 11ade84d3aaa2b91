// The no-change build as the Flutter tool asks for it, against Ninja's own no-op check of the same
// CMake tree. After one real build of examples/hello (with its plugin hello_power) through the host,
// times, alternating, the whole `torvex build --bundle <project>/build/flutter_assets --app-name hello`
// process (its start, the socket, the host's build taking its shortcut, the answer) against the
// whole `ninja -C <work folder>/cmake-build` process, and prints both medians and their ratio.
// Target: torvex build / ninja <= 1.0 (medians). Prints the load average: the machine may be shared.
// Usage: RebuildBench [rounds]   (default 20 of each)
// Exits 0 when the target is met, 1 when it is missed, 2 when a step fails, 64 on bad usage, 69
// when a tool is missing.

#include "BenchProcess.h"
#include "BenchSupport.h"

#include "support/BuildRig.h"
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;
using namespace torvex;

constexpr double targetRatio = 1.0;

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

std::string loadAverage() {
    const std::string text = testing::readFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// Whether a run's output holds `text`; throws with the output when it does not.
void expectOutput(const std::vector<std::string>& argv, const Environment& environment, const fs::path& cwd,
                  const fs::path& scratch, const std::string& text) {
    const auto result = testing::spawnAndWait({argv.front(), argv, cwd, environment}, scratch);
    if (result.status != 0 || (result.out + result.err).find(text) == std::string::npos) {
        throw std::runtime_error(argv.front() + " (status " + std::to_string(result.status) + ") did not say \"" + text +
                                 "\":\n" + result.out + result.err);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = bench::countArgument(argc, argv, "RebuildBench", "rounds", 20);
    if (auto missing = testing::BuildRig::missingTool()) {
        std::fprintf(stderr, "RebuildBench: %s.\n", missing->c_str());
        return 69;
    }
    std::printf("RebuildBench: load average before: %s\n", loadAverage().c_str());

    try {
        testing::forgetTorvexVariables();  // the rig sets the one it needs
        const testing::TempDir temp("/tmp");  // short: the socket path has a length limit
        const fs::path socket = temp / "torvex.sock", scratch = temp / "scratch";
        fs::create_directories(scratch);
        fs::create_directories(temp / "home");
        testing::BuildRig rig(temp / "rig");
        const fs::path bundle = rig.project() / "build" / "flutter_assets";  // where the Flutter tool puts it
        writeBundle(bundle);
        const fs::path plugin = rig.project() / "windows/flutter/ephemeral/.plugin_symlinks/hello_power";
        if (!fs::exists(plugin / "windows" / "CMakeLists.txt")) throw std::runtime_error("no plugin at " + plugin.string());

        const char* path = std::getenv("PATH");
        const Environment environment{
            {"TORVEX_SUPPORT_DIR", rig.paths().support.string()}, {"TORVEX_CACHES_DIR", rig.paths().caches.string()},
            {"TORVEX_LOGS_DIR", rig.paths().logs.string()},       {"TORVEX_SOCKET", socket.string()},
            {"HOME", (temp / "home").string()},                   {"FLUTTER_ROOT", rig.sdkRoot().string()},
            {"PATH", (rig.sdkRoot() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        };
        const testing::StateProcesses processes(socket, rig.paths().support, scratch);  // its end stops the host
        const std::vector<std::string> build{testing::builtTorvex().string(), "build", "--bundle",
                                             bundle.string(), "--app-name", "hello"};
        const std::vector<std::string> noOp{ProcessRunner::which("ninja").value().string(), "-C",
                                            (rig.workFolder() / "cmake-build").string()};

        std::printf("RebuildBench: first build of examples/hello through the host ...\n");
        std::fflush(stdout);
        if (bench::timedRun(build, environment, rig.project()).status != 0)
            bench::failWithOutput("the first torvex build", build, environment, rig.project(), scratch);
        expectOutput(build, environment, rig.project(), scratch, "native code unchanged");
        expectOutput(noOp, environment, rig.project(), scratch, "no work to do");

        std::vector<double> builds, ninjas;
        bench::alternate({"torvex build", build, builds}, {"ninja", noOp, ninjas}, rounds, environment, rig.project(),
                         scratch);
        expectOutput(build, environment, rig.project(), scratch, "native code unchanged");

        const auto rebuild = bench::medianInterval(builds), check = bench::medianInterval(ninjas);
        const double ratio = rebuild.median / check.median;
        std::printf("load average after: %s\n", loadAverage().c_str());
        std::printf("torvex build --bundle, nothing changed: median %.2f ms (95 %% interval %.2f-%.2f) over %d runs\n",
                    rebuild.median * 1e3, rebuild.low * 1e3, rebuild.high * 1e3, rounds);
        std::printf("ninja -C cmake-build, no-op:            median %.2f ms (95 %% interval %.2f-%.2f) over %d runs\n",
                    check.median * 1e3, check.low * 1e3, check.high * 1e3, rounds);
        std::printf("ratio %.3f (target <= %.1f): %s\n", ratio, targetRatio, ratio <= targetRatio ? "met" : "missed");
        return ratio <= targetRatio ? 0 : 1;
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "RebuildBench: %s\n", error.description().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "RebuildBench: %s\n", error.what());
    }
    return 2;
}
