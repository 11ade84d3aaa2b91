// Compiles one small translation unit through the wrapper's shim-clang++ link and directly through
// the tool with the already-translated arguments, alternating, and prints both medians and their ratio.
// Usage: CompilerWrapperBench [runs]   (default 30 of each)

#include "BenchSupport.h"
#include "MSVCFlagTranslator.h"
#include "SystemSource.h"
#include "TorvexError.h"

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
    const int runs = torvex::bench::countArgument(argc, argv, "CompilerWrapperBench", "runs", 30);

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
    std::vector<double> wrapperTimes;
    std::vector<double> directTimes;
    for (int i = 0; i < runs; ++i) {
        wrapperTimes.push_back(timedRun(throughWrapper, dir));
        directTimes.push_back(timedRun(direct, dir));
    }
    fs::remove_all(dir);

    const double wrapper = torvex::bench::median(wrapperTimes);
    const double plain = torvex::bench::median(directTimes);
    const double ratio = wrapper / plain;
    std::printf("compile through shim-clang++: median %.2f ms over %d runs\n", wrapper, runs);
    std::printf("compile directly:             median %.2f ms over %d runs\n", plain, runs);
    std::printf("ratio %.4f (overhead %+.2f %%, target <= %.0f %%): %s\n", ratio, (ratio - 1) * 100,
                (targetRatio - 1) * 100, ratio <= targetRatio ? "within target" : "over target");
    return 0;
}
