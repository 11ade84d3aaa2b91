// Relays 200 MB of 80-byte lines from a child through ProcessRunner::run and compares the time
// with `cat FILE | wc -l` on the same file. Target: ratio at most 2.0.
#include "Core/ProcessRunner.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace torvex;
namespace fs = std::filesystem;

namespace {

constexpr long long lineBytes = 80;
constexpr long long totalBytes = 200'000'000;
constexpr int rounds = 3;

double seconds(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

fs::path makeInput(const fs::path& folder) {
    const fs::path file = folder / "lines.txt";
    std::ofstream out(file, std::ios::binary);
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(lineBytes - 1, 'x');
        block += line + "\n";
    }
    for (long long written = 0; written < totalBytes; written += static_cast<long long>(block.size())) out << block;
    return file;
}

} // namespace

int main() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/torvex-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const fs::path folder = pattern;
    const fs::path input = makeInput(folder);
    const long long expectedLines = static_cast<long long>(fs::file_size(input) / lineBytes);

    double bestRun = 1e9, bestPipe = 1e9;
    int status = 0;
    try {
        for (int round = 0; round < rounds; ++round) {
            auto count = std::make_shared<std::atomic<long long>>(0);
            auto start = std::chrono::steady_clock::now();
            ProcessRunner::shared().run(ProcessSpec{"/bin/cat", {input.string()}, {}, std::nullopt},
                                        [count](const OutputLine&) { count->fetch_add(1, std::memory_order_relaxed); });
            bestRun = std::min(bestRun, seconds(start));
            if (count->load() != expectedLines) {
                std::fprintf(stderr, "relayed %lld lines, expected %lld\n", count->load(), expectedLines);
                status = 2;
            }

            start = std::chrono::steady_clock::now();
            const auto piped = ProcessRunner::shared().capture(
                ProcessSpec{"/bin/sh", {"-c", "cat \"$1\" | wc -l", "sh", input.string()}, {}, std::nullopt});
            bestPipe = std::min(bestPipe, seconds(start));
            if (std::stoll(piped.standardOutput) != expectedLines) status = 2;
        }
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "%s\n", error.description().c_str());
        status = 2;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);

    const double ratio = bestRun / bestPipe;
    std::printf("run(onLine): %.3f s for %lld lines\n", bestRun, expectedLines);
    std::printf("cat | wc -l: %.3f s\n", bestPipe);
    std::printf("ratio: %.2f (target <= 2.0: %s)\n", ratio, ratio <= 2.0 ? "met" : "missed");
    if (status != 0) return status;
    return ratio <= 2.0 ? 0 : 1;
}
