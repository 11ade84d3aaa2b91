// Compiles one small translation unit through the wrapper's shim-clang++ link and directly through
// the tool with the already-translated arguments, in pairs whose order alternates (so that a drift
// of the machine's speed weighs on both alike), and takes the ratio within each pair. It goes on
// until the median ratio's 95 % confidence interval is no wider than +-1 % and lies wholly on one
// side of the 2 % target, or until the most pairs allowed; then prints the medians, the ratio,
// its interval and whether the target was met, missed or could not be resolved.
// Usage: CompilerWrapperBench [most pairs]   (default 400; at least 20 are run)

#include "BenchSupport.h"
#include "Build/MSVCFlagTranslator.h"
#include "Core/TorvexError.h"
#include "Setup/SystemSource.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {
namespace fs = std::filesystem;

constexpr double targetRatio = 1.02;
constexpr double resolution = 0.01;  // widest half-width of an interval that decides
constexpr int fewestPairs = 20;

const char* const translationUnit = R"(#include <map>
#include <string>
#include <vector>

int countWords(const std::vector<std::string>& words) {
    std::map<std::string, int> seen;
    for (const auto& word : words) ++seen[word];
    return static_cast<int>(seen.size());
}
)";

// Runs the program with its output discarded; its exit status, or -1 when it could not start.
int run(const std::vector<std::string>& argv, const fs::path& cwd, bool quiet) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> copies = argv;
    std::vector<char*> pointers;
    for (std::string& text : copies) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    const int started = posix_spawn(&pid, copies.front().c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double timedRun(const std::vector<std::string>& argv, const fs::path& cwd) {
    const auto start = std::chrono::steady_clock::now();
    if (run(argv, cwd, true) != 0) {
        std::fprintf(stderr, "CompilerWrapperBench: the compile failed: %s\n", argv.front().c_str());
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int mostPairs = std::max(fewestPairs, torvex::bench::countArgument(argc, argv, "CompilerWrapperBench", "most pairs", 400));

    std::string pattern = (fs::temp_directory_path() / "torvex-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("CompilerWrapperBench: mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const fs::path toolchain = dir / "toolchain";
    try {
        torvex::assembleLLVMMingw(toolchain / "llvm-mingw", toolchain / "llvm-mingw");
    } catch (const torvex::TorvexError& missing) {
        std::fprintf(stderr, "CompilerWrapperBench: could not assemble the toolchain folder.\n%s\n",
                     missing.description().c_str());
        fs::remove_all(dir);
        return 1;
    }
    const fs::path bin = toolchain / "llvm-mingw/bin";
    fs::create_directories(dir / "tools");
    std::ofstream(dir / "tools/mingw-bin") << bin.string() << "\n";
    fs::create_symlink(TORVEX_CC_PATH, dir / "tools/shim-clang++");
    std::ofstream(dir / "unit.cpp") << translationUnit;

    const std::vector<std::string> msvcArguments{"/nologo", "/W4", "/WX", "/EHsc", "/std:c++17", "/DUNICODE",
                                                 "/D_UNICODE", "/O2", "/utf-8", "/wd4100", "/permissive-",
                                                 "-c", "unit.cpp", "-o", "unit.obj"};
    std::vector<std::string> throughWrapper{(dir / "tools/shim-clang++").string()};
    throughWrapper.insert(throughWrapper.end(), msvcArguments.begin(), msvcArguments.end());
    const auto translated = torvex::MSVCFlagTranslator::translateCompilerArguments(
        msvcArguments, [&](const std::string& path) { return fs::exists(dir / path); });
    std::vector<std::string> direct{(bin / "x86_64-w64-mingw32-clang++").string()};
    direct.insert(direct.end(), translated.arguments.begin(), translated.arguments.end());

    timedRun(throughWrapper, dir); // warm the caches
    timedRun(direct, dir);
    std::vector<double> wrapperTimes, directTimes, ratios;
    torvex::bench::MedianInterval interval{};
    const auto decided = [&] {
        return (interval.high - interval.low) / 2 <= resolution && (interval.high <= targetRatio || interval.low > targetRatio);
    };
    for (int pair = 0; pair < mostPairs; ++pair) {
        double wrapper = 0, plain = 0;
        if (pair % 2 == 0) {
            wrapper = timedRun(throughWrapper, dir);
            plain = timedRun(direct, dir);
        } else {
            plain = timedRun(direct, dir);
            wrapper = timedRun(throughWrapper, dir);
        }
        wrapperTimes.push_back(wrapper);
        directTimes.push_back(plain);
        ratios.push_back(wrapper / plain);
        if (ratios.size() < fewestPairs) continue;
        interval = torvex::bench::medianInterval(ratios);
        if (decided()) break;
    }
    fs::remove_all(dir);

    const std::size_t pairs = ratios.size();
    std::printf("compile through shim-clang++: median %.2f ms over %zu runs\n", torvex::bench::median(wrapperTimes), pairs);
    std::printf("compile directly:             median %.2f ms over %zu runs\n", torvex::bench::median(directTimes), pairs);
    std::printf("ratio within a pair: median %.4f (overhead %+.2f %%), 95 %% interval %+.2f %% to %+.2f %%\n",
                interval.median, (interval.median - 1) * 100, (interval.low - 1) * 100, (interval.high - 1) * 100);
    const char* verdict = !decided()                   ? "not resolved: the machine is too noisy, or allow more pairs"
                          : interval.high <= targetRatio ? "met"
                                                         : "missed";
    std::printf("target: overhead <= %.0f %%: %s\n", (targetRatio - 1) * 100, verdict);
    return decided() && interval.high <= targetRatio ? 0 : 1;
}
